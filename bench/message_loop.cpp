// Sends a fixed number of messages through one node and ends: the program
// that system-call counts (strace -f -c) and profiles (perf, callgrind) are
// taken on. Two runs with different counts give the cost per message as the
// difference divided by the difference of the counts, free of set-up.
//
//   message_loop monitored|events|tracing|pass MESSAGES
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

int main(int argc, char** argv) {
    zovbench::requireSandbox(argv[0]);
    const char* kind = argc == 3 ? argv[1] : "";
    const long messages = argc == 3 ? std::atol(argv[2]) : -1;
    const bool pass = std::strcmp(kind, "pass") == 0;
    const bool events = std::strcmp(kind, "events") == 0;
    const bool tracing = std::strcmp(kind, "tracing") == 0;
    if (messages < 0 || !(pass || events || tracing || std::strcmp(kind, "monitored") == 0)) {
        std::fprintf(stderr, "usage: %s monitored|events|tracing|pass MESSAGES\n", argv[0]);
        return 64;
    }
    zovbench::prepareBroker(tracing);
    auto plugin = pass ? zovbench::loadPassThrough() : zovbench::loadMonitor();
    auto node = zovbench::makeNode(*plugin, "flow", "node", events ? "message passed" : "");
    const standin::Message message = zovbench::makeMessage();
    for (long i = 0; i < messages; ++i)
        node->evaluate(&message);
    node.reset();
    std::printf("%ld messages through a %s node\n", messages, kind);
    return 0;
}
