#include "support/ipc_support.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/host_programs.h"

namespace zovtest {

int ipcObjectCount(const char* kind) {
    return static_cast<int>(ipcObjects(kind).size());
}

int ipcObjectTotal() {
    return static_cast<int>(allIpcObjects().size());
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
    if (semaphoreId < 0)
        return -1;
    return semctl(semaphoreId, 0, GETVAL);
}

int forkChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

int waitChild(int pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runInChild(const std::function<int()>& body) {
    return waitChild(forkChild(body));
}

}  // namespace zovtest
