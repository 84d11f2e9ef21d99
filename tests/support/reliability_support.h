// Test helpers for the reliability runs: the System V objects of the sandbox
// with their keys and counts, the key files under /tmp, removing whatever a
// killed or failed run left behind, a child process with a time limit, and
// the resident size of a process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support/host_programs.h"

namespace zovtest {

// The sandbox's System V objects (see host_programs.h).
using SysvObject = IpcObject;
inline std::vector<SysvObject> sysvObjects(const char* kind) {
    return ipcObjects(kind);
}
inline std::vector<SysvObject> allSysvObjects() {
    return allIpcObjects();
}

// Key files of named mutexes and segments (tmpFilesEndingIn is in
// host_programs.h).
int keyFileCount();

// Removes every semaphore set, queue and segment of the namespace and every
// key file: what a run killed on purpose leaves for the next one.
void removeLeftovers();

// How a child ended (timedOut: killed by the parent after the time limit).
using ChildEnd = Ending;

// Forks; the child runs `body` and ends with _exit(body()). The parent kills
// it with SIGKILL when it has not ended within `seconds`.
ChildEnd runChildWithin(double seconds, const std::function<int()>& body);
// Waits up to `seconds` for a child started with fork; kills it after that.
ChildEnd waitChildWithin(pid_t pid, double seconds);

// Resident set size of the calling process, in kB (from /proc/self/statm).
long residentKilobytes();

}  // namespace zovtest
