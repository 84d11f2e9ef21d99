// How child programs ended, and the System V IPC objects and key files of the
// sandbox's namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zovtest {

struct Ending {
    bool exited = false;  // exit() with `code`
    int code = -1;
    int signal = 0;  // killed by this signal
    bool timedOut = false;

    bool succeeded() const { return exited && code == 0; }
    std::string describe() const;
};
Ending endingOf(int status);

// From /proc/sysvipc.
struct IpcObject {
    std::string kind;  // "shm", "sem" or "msg"
    int key = 0;
    int id = -1;
    long count = 0;  // shm: processes attached; msg: messages queued; sem: semaphores
};
std::vector<IpcObject> ipcObjects(const char* kind);
std::vector<IpcObject> allIpcObjects();

std::vector<std::string> tmpFilesEndingIn(const std::string& suffix);

}  // namespace zovtest
