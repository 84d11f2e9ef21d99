// Test helpers for running programs end to end inside the test's sandbox: a
// child program with its output in files and a deadline, pause points that
// hold a host program in one of its commands until the test lets it go on, and
// the System V IPC objects and key files of the sandbox's namespace.
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

    bool started() const { return pid_ > 0; }
    bool running();  // reaps the program when it has ended
    // Waits until it ends; kills it once `timeout` has passed.
    Ending wait(std::chrono::milliseconds timeout);

  private:
    bool reap(int options);

    pid_t pid_ = -1;
    bool ended_ = false;
    Ending ending_;
};

// Runs a program to its end; its output is read back into `out` and `err`.
Ending runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                  std::string& out, std::string& err);

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);

// A shell command for a host program's --then or --between-stops that stops
// it at a named point until the test resumes it. Files in `directory`.
class PausePoints {
  public:
    explicit PausePoints(std::string directory);
    // The command to give the host; `tag` may name shell variables to expand
    // when the command runs (e.g. "stop-$BROKERHOST_STOPPED").
    std::string command(const std::string& tag) const;
    // Waits until the host reached the point; false when `host` ended first or
    // the time ran out.
    bool waitUntilPaused(const std::string& tag, Program& host, std::chrono::milliseconds timeout);
    void resume(const std::string& tag);

  private:
    std::string directory_;
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

// Milliseconds since 1970 on the wall clock.
int64_t wallMilliseconds();

}  // namespace zovtest
