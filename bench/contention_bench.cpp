// Throughput of the monitored path under contention: one node updated by 1,
// 2, 4 and 8 threads and by 2 processes, separate nodes (one per thread or
// process), a bare pass-through node as the ceiling, the semaphore alone, and
// the floor's system calls alone (two processor-clock readings around one
// take and release of one shared semaphore, as one node's messages make them).
// Each point runs for a fixed time; the rounds interleave the points so that
// the noise of a shared machine falls on all of them alike.
//
//   contention_bench [--seconds S] [--rounds R]   (inside zovsandbox)
//
// Prints CSV: round,scenario,workers,processes,messages,seconds,per_second,
// cpu_ns_per_message. bench/report.py makes medians and the relative curve.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

// What the workers of one point share, in memory that survives fork.
struct Shared {
    std::atomic<int> ready{0};
    std::atomic<int> go{0};
    std::atomic<int> stop{0};
    std::atomic<long> messages{0};
    std::atomic<long> cpuNanoseconds{0};  // of the workers, while they counted
};

enum class Kind { OneNode, SeparateNodes, PassThrough, Semaphore, Floor };

struct Scenario {
    const char* name;
    Kind kind;
    int threads;    // per process
    int processes;  // 1: in this process
};

const Scenario kScenarios[] = {
    {"one_node", Kind::OneNode, 1, 1},
    {"one_node", Kind::OneNode, 2, 1},
    {"one_node", Kind::OneNode, 4, 1},
    {"one_node", Kind::OneNode, 8, 1},
    {"one_node_processes", Kind::OneNode, 1, 2},
    {"separate_nodes", Kind::SeparateNodes, 1, 1},
    {"separate_nodes", Kind::SeparateNodes, 2, 1},
    {"separate_nodes", Kind::SeparateNodes, 4, 1},
    {"separate_nodes", Kind::SeparateNodes, 8, 1},
    {"separate_nodes_processes", Kind::SeparateNodes, 1, 2},
    {"pass_through", Kind::PassThrough, 1, 1},
    {"pass_through", Kind::PassThrough, 2, 1},
    {"semaphore", Kind::Semaphore, 1, 1},
    {"semaphore", Kind::Semaphore, 2, 1},
    {"semaphore", Kind::Semaphore, 8, 1},
    {"floor", Kind::Floor, 1, 1},
    {"floor", Kind::Floor, 2, 1},
    {"floor", Kind::Floor, 4, 1},
    {"floor", Kind::Floor, 8, 1},
};

// One worker's loop: waits for the start, counts until told to stop.
template <typename Body>
void work(Shared& shared, Body body) {
    shared.ready.fetch_add(1);
    while (shared.go.load() == 0)
        std::this_thread::yield();
    const double cpuStart = zovbench::threadCpuSeconds();
    long count = 0;
    while (shared.stop.load(std::memory_order_relaxed) == 0) {
        body();
        ++count;
    }
    shared.cpuNanoseconds.fetch_add(
        static_cast<long>((zovbench::threadCpuSeconds() - cpuStart) * 1e9));
    shared.messages.fetch_add(count);
}

// The threads of one process for one point.
void runThreads(const Scenario& scenario, int processIndex, Shared& shared) {
    std::vector<std::thread> threads;
    std::unique_ptr<standin::Plugin> plugin;
    std::vector<std::unique_ptr<standin::Node>> nodes;
    zovbench::Floor floor;
    const standin::Message message = zovbench::makeMessage();
    if (scenario.kind == Kind::OneNode || scenario.kind == Kind::SeparateNodes) {
        plugin = zovbench::loadMonitor();
        const int count = scenario.kind == Kind::OneNode ? 1 : scenario.threads;
        for (int i = 0; i < count; ++i) {
            // Separate nodes get labels of their own; one node is the same
            // identity in every process, so all update one record.
            const std::string label =
                scenario.kind == Kind::OneNode
                    ? "shared"
                    : "node" + std::to_string(processIndex) + "_" + std::to_string(i);
            nodes.push_back(zovbench::makeNode(*plugin, "flow", label));
        }
    } else if (scenario.kind == Kind::PassThrough) {
        plugin = zovbench::loadPassThrough();
        nodes.push_back(zovbench::makeNode(*plugin, "flow", "bare"));
    }
    for (int i = 0; i < scenario.threads; ++i) {
        threads.emplace_back([&, i] {
            if (scenario.kind == Kind::Semaphore) {
                work(shared, [&] { floor.takeAndRelease(); });
                return;
            }
            if (scenario.kind == Kind::Floor) {
                work(shared, [&] { floor.once(); });
                return;
            }
            standin::Node& node = *nodes[nodes.size() == 1 ? 0 : static_cast<size_t>(i)];
            work(shared, [&] { node.evaluate(&message); });
        });
    }
    for (auto& thread : threads)
        thread.join();
    nodes.clear();
}

struct Result {
    long messages = 0;
    double seconds = 0;
    double cpuSeconds = 0;
};

Result runPoint(const Scenario& scenario, double seconds) {
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) Shared;

    // Every point runs in processes of its own: each makes and removes the
    // broker's segment, and a process keeps a table of what it attached.
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (int p = 0; p < scenario.processes; ++p) {
        children.push_back(zovbench::forkChild([&, p] {
            runThreads(scenario, p, *shared);
            return 0;
        }));
    }
    const int workers = scenario.threads * scenario.processes;
    while (shared->ready.load() < workers)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double start = zovbench::wallSeconds();
    shared->go.store(1);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    shared->stop.store(1);
    const double elapsed = zovbench::wallSeconds() - start;
    for (pid_t child : children) {
        if (zovbench::waitChild(child) != 0) {
            std::fprintf(stderr, "a worker process failed\n");
            std::exit(1);
        }
    }
    Result result;
    result.messages = shared->messages.load();
    result.seconds = elapsed;
    result.cpuSeconds = static_cast<double>(shared->cpuNanoseconds.load()) * 1e-9;
    munmap(shared, sizeof(Shared));
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    zovbench::requireSandbox(argv[0]);
    double seconds = 0.5;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
    }
    zovbench::prepareBroker(false);
    // A first point that is not reported: loading the library, binding its
    // symbols and the first segment would otherwise fall on the first point.
    runPoint(kScenarios[0], seconds);
    std::printf(
        "round,scenario,workers,processes,messages,seconds,per_second,cpu_ns_per_message\n");
    for (int round = 1; round <= rounds; ++round) {
        for (const Scenario& scenario : kScenarios) {
            const Result result = runPoint(scenario, seconds);
            const double perSecond = static_cast<double>(result.messages) / result.seconds;
            const double cpuPerMessage =
                result.messages > 0 ? result.cpuSeconds * 1e9 / static_cast<double>(result.messages)
                                    : 0.0;
            std::printf("%d,%s,%d,%d,%ld,%.4f,%.0f,%.0f\n", round, scenario.name,
                        scenario.threads * scenario.processes, scenario.processes, result.messages,
                        result.seconds, perSecond, cpuPerMessage);
            std::fflush(stdout);
        }
    }
    return 0;
}
