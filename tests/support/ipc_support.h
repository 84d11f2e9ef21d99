// Test helpers for System V IPC and processes: counting the IPC objects of
// the sandbox's namespace, looking at a named mutex's objects, and running a
// function in a forked child.
#pragma once

#include <functional>
#include <string>

namespace zovtest {

// Number of objects listed in /proc/sysvipc/<kind> ("sem", "msg" or "shm").
int ipcObjectCount(const char* kind);
// Semaphore sets, message queues and segments together.
int ipcObjectTotal();

bool fileExists(const std::string& path);
// Messages in the queue, or -1 when the queue does not exist.
long queueMessages(int queueId);
// Value of semaphore 0 of the set, or -1 when the set does not exist.
int semaphoreValue(int semaphoreId);

// Runs `body` in a forked child that ends with _exit(body()). Returns the
// child's exit status, or -1 when it did not exit normally.
int runInChild(const std::function<int()>& body);
// Waits for a child started with forkChild; same result as runInChild.
int waitChild(int pid);
// Forks; the child runs `body` and ends with _exit(body()). Returns the pid.
int forkChild(const std::function<int()>& body);

}  // namespace zovtest
