// Test helpers for child programs and the System V IPC objects of the
// sandbox's namespace: how a program ended, the objects listed in
// /proc/sysvipc and key files in /tmp.
#pragma once

#include <sys/types.h>

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
