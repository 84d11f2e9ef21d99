// Test helpers for programs and the System V IPC objects of the sandbox's
// namespace: a child program with its output in files and a deadline, how a
// program ended, the objects listed in /proc/sysvipc and key files in /tmp.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zovtest {

// How a program ended.
struct Ending {
    bool exited = false;  // exit() with `code`
    int code = -1;
    int signal = 0;  // killed by this signal
    bool timedOut = false;

    bool succeeded() const { return exited && code == 0; }
    std::string describe() const;
};
// The ending a wait status tells.
Ending endingOf(int status);

// A program started in the background with its standard output and error
// going to files; killed with SIGKILL if it is still running when destroyed.
class Program {
  public:
    Program(const std::vector<std::string>& argv, const std::string& outPath,
            const std::string& errPath);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    bool running();  // reaps the program when it has ended
    // Waits until it ends; kills it once `timeout` has passed.
    Ending wait(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    bool ended_ = false;
    Ending ending_;
};

// One System V IPC object of the namespace, from /proc/sysvipc.
struct IpcObject {
    std::string kind;  // "shm", "sem" or "msg"
    int key = 0;
    int id = -1;
    long count = 0;  // shm: processes attached; msg: messages queued; sem: semaphores
};
std::vector<IpcObject> ipcObjects(const char* kind);
// Every shm, sem and msg object.
std::vector<IpcObject> allIpcObjects();

// Names of the files in /tmp whose name ends in `suffix`.
std::vector<std::string> tmpFilesEndingIn(const std::string& suffix);

}  // namespace zovtest
