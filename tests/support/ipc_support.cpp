#include "support/ipc_support.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace zovtest {

void removeLeftovers() {
    for (const IpcObject& object : allIpcObjects()) {
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

bool fileExists(const std::string& path) {
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}

long queueMessages(int queueId) {
    struct msqid_ds status = {};
    if (queueId < 0 || msgctl(queueId, IPC_STAT, &status) != 0)
        return -1;
    return static_cast<long>(status.msg_qnum);
}

int semaphoreValue(int semaphoreId) {
    return semaphoreId < 0 ? -1 : semctl(semaphoreId, 0, GETVAL);
}

pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

Ending waitChildWithin(pid_t pid, double seconds) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    pid_t done = 0;
    while (pid > 0 && (done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            Ending end;
            end.timedOut = true;
            return end;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pid > 0 && done == pid ? endingOf(status) : Ending{};
}

int waitChild(pid_t pid, double seconds) {
    const Ending end = waitChildWithin(pid, seconds);
    return end.exited ? end.code : -1;
}

}  // namespace zovtest
