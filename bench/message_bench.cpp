// Cost of one message: the system-call floor timed alone, a bare
// pass-through node, and the monitoring node (tracing off, on, and with an
// event record per message), each evaluated through the stand-in broker with
// a downstream that does nothing. Run with repetitions and random
// interleaving (scripts/bench.sh) so that the noise of a shared machine falls
// on every benchmark alike; bench/report.py turns the medians into ratios.
//
//   message_bench [--baseline=LIBRARY] [benchmark options]
// --baseline adds BM_MonitoredBaseline: the same monitored node from another
// build of the library (an earlier version), for before/after in one run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_support.h"

namespace {

// Everything the benchmarks share, built once before the first of them runs.
struct World {
    std::unique_ptr<standin::Plugin> monitor;
    std::unique_ptr<standin::Plugin> passThrough;
    std::unique_ptr<standin::Node> monitored;
    std::unique_ptr<standin::Node> withEvents;
    std::unique_ptr<standin::Node> bare;
    std::unique_ptr<standin::Plugin> baseline;
    std::unique_ptr<standin::Node> baselineNode;
    standin::Message message = zovbench::makeMessage();
    zovbench::Floor floor;

    explicit World(const std::string& baselinePath) {
        zovbench::prepareBroker(false);
        monitor = zovbench::loadMonitor();
        passThrough = zovbench::loadPassThrough();
        monitored = zovbench::makeNode(*monitor, "flow", "monitor");
        withEvents = zovbench::makeNode(*monitor, "flow", "events", "message passed");
        bare = zovbench::makeNode(*passThrough, "flow", "bare");
        if (!baselinePath.empty()) {
            baseline = zovbench::loadLibrary(baselinePath.c_str());
            baselineNode = zovbench::makeNode(*baseline, "flow", "baseline");
        }
        if (!floor.ok()) {
            std::fprintf(stderr, "no semaphore for the floor\n");
            std::exit(2);
        }
    }

    // The library reads its trace switch from the configuration file in its
    // factory entry; calling the entry again switches it.
    void setTracing(bool on) {
        zovbench::prepareBroker(on);
        monitor->callEntry();
    }
};

World* world = nullptr;

void BM_Floor(benchmark::State& state) {
    for (auto _ : state)
        world->floor.once();
}

void BM_FloorProcessorClock(benchmark::State& state) {
    for (auto _ : state)
        zovbench::Floor::processorClock();
}

void BM_FloorSemaphore(benchmark::State& state) {
    for (auto _ : state)
        world->floor.takeAndRelease();
}

void BM_FloorWallClocks(benchmark::State& state) {
    for (auto _ : state)
        zovbench::Floor::wallClocks();
}

void BM_PassThrough(benchmark::State& state) {
    for (auto _ : state)
        world->bare->evaluate(&world->message);
}

void BM_Monitored(benchmark::State& state) {
    for (auto _ : state)
        world->monitored->evaluate(&world->message);
}

void BM_MonitoredBaseline(benchmark::State& state) {
    for (auto _ : state)
        world->baselineNode->evaluate(&world->message);
}

void BM_MonitoredEvents(benchmark::State& state) {
    for (auto _ : state)
        world->withEvents->evaluate(&world->message);
}

void BM_MonitoredTracing(benchmark::State& state) {
    world->setTracing(true);
    for (auto _ : state)
        world->monitored->evaluate(&world->message);
    world->setTracing(false);
}

BENCHMARK(BM_Floor);
BENCHMARK(BM_FloorProcessorClock);
BENCHMARK(BM_FloorSemaphore);
BENCHMARK(BM_FloorWallClocks);
BENCHMARK(BM_PassThrough);
BENCHMARK(BM_Monitored);
BENCHMARK(BM_MonitoredEvents);
BENCHMARK(BM_MonitoredTracing);

}  // namespace

int main(int argc, char** argv) {
    zovbench::requireSandbox(argv[0]);
    const std::string baselineOption = "--baseline=";
    std::string baselinePath;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(baselineOption, 0) == 0) {
            baselinePath = argv[i] + baselineOption.size();
            std::copy(argv + i + 1, argv + argc + 1, argv + i);  // argv[argc] is null
            --argc;
            break;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!baselinePath.empty())
        benchmark::RegisterBenchmark("BM_MonitoredBaseline", BM_MonitoredBaseline);
    world = new World(baselinePath);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete world;  // the nodes leave the tree; the segment goes with the last
    return 0;
}
