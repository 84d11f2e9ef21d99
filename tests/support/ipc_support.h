// Test helpers: System V objects and key files of the sandbox (ipcObjects in
// host_programs.h lists them), pipes to forked children, children timed out,
// threads started together.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/host_programs.h"

namespace zovtest {

inline int ipcObjectCount(const char* kind) {
    return static_cast<int>(ipcObjects(kind).size());
}
inline int ipcObjectTotal() {
    return static_cast<int>(allIpcObjects().size());
}
inline int keyFileCount() {  // of named mutexes and segments, in /tmp
    return static_cast<int>(tmpFilesEndingIn(".zovmutx").size() +
                            tmpFilesEndingIn(".zovcshme").size());
}
// Removes every IPC object of the namespace and every key file.
inline void removeLeftovers() {
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

inline bool fileExists(const std::string& path) {
    struct stat info = {};
    return stat(path.c_str(), &info) == 0;
}
// Messages in the queue, or -1 when the queue does not exist.
inline long queueMessages(int queueId) {
    struct msqid_ds status = {};
    if (queueId < 0 || msgctl(queueId, IPC_STAT, &status) != 0)
        return -1;
    return static_cast<long>(status.msg_qnum);
}
// Value of semaphore 0 of the set, or -1 when the set does not exist.
inline int semaphoreValue(int semaphoreId) {
    return semaphoreId < 0 ? -1 : semctl(semaphoreId, 0, GETVAL);
}

// Polls `done` every millisecond for up to `seconds`; its last answer.
inline bool waitUntil(const std::function<bool()>& done, double seconds = 10) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Forks; the child runs `body` and ends with _exit(body()). Returns the pid.
inline pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}
// Waits for a forked child; kills it with SIGKILL once `seconds` have passed.
inline Ending waitChildWithin(pid_t pid, double seconds = 600) {
    int status = 0;
    pid_t done = 0;
    if (pid > 0 &&
        !waitUntil([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return Ending{.timedOut = true};
    }
    return pid > 0 && done == pid ? endingOf(status) : Ending{};
}
// The child's exit code, or -1 when it did not exit within the time.
inline int waitChild(pid_t pid, double seconds = 600) {
    const Ending end = waitChildWithin(pid, seconds);
    return end.exited ? end.code : -1;
}
inline int runInChild(const std::function<int()>& body) {
    return waitChild(forkChild(body));
}
inline Ending runChildWithin(double seconds, const std::function<int()>& body) {
    return waitChildWithin(forkChild(body), seconds);
}

// Threads running body(0) to body(n - 1), joined when the vector goes (at
// once when the result is dropped).
inline std::vector<std::jthread> startThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::jthread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(body, i);
    return threads;
}

// Between a test and its forked children: a byte is a signal, a value is
// sent whole.
class Pipe {
  public:
    Pipe() {
        if (pipe(ends) != 0)
            ends[0] = ends[1] = -1;
    }
    ~Pipe() {
        close(ends[0]);
        close(ends[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    bool send(const void* data, size_t size) const {
        return write(ends[1], data, size) == static_cast<ssize_t>(size);
    }
    // Waits at most `seconds`: a partner that never sends (a fault skipped
    // its step) fails the test instead of hanging it.
    bool receive(void* data, size_t size, double seconds = 60) const {
        pollfd ready = {ends[0], POLLIN, 0};
        return poll(&ready, 1, static_cast<int>(seconds * 1000)) == 1 &&
               read(ends[0], data, size) == static_cast<ssize_t>(size);
    }
    bool signal() const { return send("s", 1); }
    bool await(double seconds = 60) const {
        char byte = 0;
        return receive(&byte, 1, seconds);
    }
    int readEnd() const { return ends[0]; }
    int writeEnd() const { return ends[1]; }

  private:
    int ends[2] = {-1, -1};
};

}  // namespace zovtest
