// Test helpers: System V objects and key files of the sandbox (ipcObjects in
// host_programs.h lists them), pipes to forked children, children timed out.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>

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
void removeLeftovers();

bool fileExists(const std::string& path);
// Messages in the queue, or -1 when the queue does not exist.
long queueMessages(int queueId);
// Value of semaphore 0 of the set, or -1 when the set does not exist.
int semaphoreValue(int semaphoreId);

// Forks; the child runs `body` and ends with _exit(body()). Returns the pid.
pid_t forkChild(const std::function<int()>& body);
// Waits for a forked child; kills it with SIGKILL once `seconds` have passed.
Ending waitChildWithin(pid_t pid, double seconds = 600);
// The child's exit code, or -1 when it did not exit within the time.
int waitChild(pid_t pid, double seconds = 600);
inline int runInChild(const std::function<int()>& body) {
    return waitChild(forkChild(body));
}
inline Ending runChildWithin(double seconds, const std::function<int()>& body) {
    return waitChildWithin(forkChild(body), seconds);
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
    bool receive(void* data, size_t size) const {
        return read(ends[0], data, size) == static_cast<ssize_t>(size);
    }
    bool signal() const { return send("s", 1); }
    bool await() const {
        char byte = 0;
        return receive(&byte, 1);
    }
    int readEnd() const { return ends[0]; }
    int writeEnd() const { return ends[1]; }

  private:
    int ends[2] = {-1, -1};
};

}  // namespace zovtest
