// Shared set-up of the benchmark programs: the sandbox check, the broker's
// files, the two node libraries driven through the stand-in broker, the
// message every benchmark sends, the system calls of the per-message floor,
// and small statistics helpers.
//
// Every benchmark program creates the configuration file, the registry,
// segments and semaphores of a broker, so it runs only inside zovsandbox.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/harness.h"

namespace zovbench {

inline constexpr char kBroker[] = "BENCHBRK";
inline constexpr char kUuid[] = "BENCHUUID0001";
// Bytes in every benchmark message: a descriptor and a small payload.
inline constexpr size_t kMessageBytes = 1024;

// Ends the program with status 2 unless /tmp, /opt and /var are the empty
// tmpfs file systems of zovsandbox, so that nothing reaches the real ones.
void requireSandbox(const char* program);

// Writes the configuration file (trace switch, and the area size when not 0)
// and the broker's registry entry, before any node library is loaded.
void prepareBroker(bool tracing, unsigned int areaSize = 0);

// The monitoring node library and the bare pass-through one, loaded as the
// broker loads them (dlopen, factory entry).
std::unique_ptr<standin::Plugin> loadMonitor();
std::unique_ptr<standin::Plugin> loadPassThrough();
// Any node library by path (an earlier build of the monitoring node).
std::unique_ptr<standin::Plugin> loadLibrary(const char* path);

// A node instance in `flow` with its label and type set, so that a
// monitoring node has joined the tree, and a downstream that does nothing.
// `eventMessage`, when not empty, turns on an event record per message.
std::unique_ptr<standin::Node> makeNode(standin::Plugin& plugin, const std::string& flow,
                                        const std::string& label,
                                        const std::string& eventMessage = "");

// A message of kMessageBytes whose descriptor was put 1.5 s ago.
standin::Message makeMessage();

// The per-message system calls that no implementation can avoid, each as
// the library makes it: the processor clock (std::clock), one take and one
// release of a System V semaphore, and the two wall-clock reads of the
// update (time, gettimeofday).
class Floor {
  public:
    Floor();  // a private semaphore set of one semaphore, value 1
    ~Floor();
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;

    bool ok() const { return semaphoreId >= 0; }
    // All of the floor once: what one monitored message must spend.
    void once();
    static void processorClock();
    void takeAndRelease();
    static void wallClocks();

  private:
    int semaphoreId = -1;
};

// Median of the values (0 for none).
double median(std::vector<double> values);

// Processor time of the calling thread, and the wall clock, in seconds.
double threadCpuSeconds();
double wallSeconds();

// Forks a child that runs `body` and ends with _exit(body()); returns its
// pid. waitChild returns the child's exit status, -1 when it did not exit.
pid_t forkChild(const std::function<int()>& body);
int waitChild(pid_t pid);

}  // namespace zovbench
