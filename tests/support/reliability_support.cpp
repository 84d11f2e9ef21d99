#include "support/reliability_support.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/host_programs.h"

namespace zovtest {

namespace {

// Column of the count in each table: nsems, qnum, nattch (0-based, after key).
int countColumn(const std::string& kind) {
    if (kind == "sem")
        return 3;
    if (kind == "msg")
        return 4;
    return 6;
}

}  // namespace

std::vector<SysvObject> sysvObjects(const char* kind) {
    std::vector<SysvObject> objects;
    std::ifstream table(std::string("/proc/sysvipc/") + kind);
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<long long> values;
        long long value = 0;
        while (values.size() < 8 && fields >> value)
            values.push_back(value);
        const size_t column = static_cast<size_t>(countColumn(kind));
        if (values.size() <= column)
            continue;
        SysvObject object;
        object.kind = kind;
        object.key = static_cast<int>(values[0]);
        object.id = static_cast<int>(values[1]);
        object.count = static_cast<long>(values[column]);
        objects.push_back(object);
    }
    return objects;
}

std::vector<SysvObject> allSysvObjects() {
    std::vector<SysvObject> all;
    for (const char* kind : {"sem", "msg", "shm"}) {
        for (const SysvObject& object : sysvObjects(kind))
            all.push_back(object);
    }
    return all;
}

int keyFileCount() {
    return static_cast<int>(tmpFilesEndingIn(".zovmutx").size() +
                            tmpFilesEndingIn(".zovcshme").size());
}

void removeLeftovers() {
    for (const SysvObject& object : allSysvObjects()) {
        if (object.kind == "sem")
            semctl(object.id, 0, IPC_RMID);
        else if (object.kind == "msg")
            msgctl(object.id, IPC_RMID, nullptr);
        else
            shmctl(object.id, IPC_RMID, nullptr);
    }
    for (const char* suffix : {".zovmutx", ".zovcshme"}) {
        for (const std::string& name : tmpFilesEndingIn(suffix))
            std::filesystem::remove("/tmp/" + name);
    }
}

std::string ChildEnd::describe() const {
    if (timedOut)
        return "hung (killed after the time limit)";
    if (exited)
        return "exited with " + std::to_string(code);
    return "killed by signal " + std::to_string(signal);
}

ChildEnd waitChildWithin(pid_t pid, double seconds) {
    ChildEnd end;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            end.timedOut = true;
            return end;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (done != pid)
        return end;
    end.exited = WIFEXITED(status);
    end.code = end.exited ? WEXITSTATUS(status) : -1;
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

ChildEnd runChildWithin(double seconds, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return waitChildWithin(pid, seconds);
}

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace zovtest
