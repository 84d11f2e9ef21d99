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
    return done == pid ? endingOf(status) : end;
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
