// Scale: the time for the K-th node instance to join a broker's tree, and the
// viewer's snapshot time against the size of the statistics area.
//
//   scale_bench joins  [--max K] [--rounds R]
//       CSV: nodes,round,create_ms,join_ms,join_wall_ms
//   scale_bench viewer [--max-area BYTES] [--rounds R]
//       CSV: area_bytes,nodes,used_bytes,round,snapshot_ms,snapshot_wall_ms
//   scale_bench scrape [--area BYTES] [--nodes N] [--rounds R] [--busy 1] [--settle S]
//       CSV: area_bytes,nodes,round,capture_ms,decode_ms,format_ms,locks_ms,
//            scrape_ms,scrape_wall_ms,text_bytes
//       a metrics scrape phase by phase (processor time), then whole as
//       --listen makes it (processor and wall-clock time); N defaults to the
//       nodes that fill nine tenths of the area; --busy 1 operates on every
//       semaphore set before each count of locks, as if every node had
//       counted messages since the last scrape; --settle S waits S seconds
//       after filling the area (its nodes idle since)
//
// Times are the processor time of the thread doing the work (the machine may
// be busy: a wall-clock time of a few milliseconds is often a time slice of
// another process); the wall-clock time is given beside it.
// For the K-th join, the K-1 nodes before it are written by one broker object
// of the library (the records a join writes: execution group, flows of ten
// nodes, nodes and their statistics), then a node instance is created and
// joins through the stand-in broker as the broker's own would. Joining reads
// only the area, so the earlier nodes need not be live instances; each point
// starts from an empty segment. Runs inside zovsandbox.
#include <sys/sem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "tools/lumenaview_app.h"
#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_locks.h"
#include "tools/lumenaview_prom.h"
#include "zov/core/zovcshar.h"
#include "zov/core/zovcshme.h"
#include "zov/core/zovcstar.h"
#include "zov/node/zovcbrkr.h"
#include "zov/node/zovcexgr.h"
#include "zov/node/zovcmefl.h"
#include "zov/node/zovcnode.h"

namespace {

constexpr int kNodesPerFlow = 10;
// Bytes of statistics area per node, with its share of flow records.
constexpr unsigned int kBytesPerNode = 400;

ZOV_Resource_ID identity(const std::string& label, const std::string& uuid = "") {
    const ZOV_String labelText(label.c_str());
    const ZOV_String uuidText(uuid.c_str());
    return ZOV_Resource_ID(&uuidText, &labelText);
}

// A broker object of the library holding `nodes` nodes in its tree, all
// written to the statistics area. The segment lives as long as it does.
std::unique_ptr<ZOV_Broker> prefill(int nodes) {
    const ZOV_Resource_ID brokerId = identity(zovbench::kBroker, zovbench::kUuid);
    auto broker = std::make_unique<ZOV_Broker>(&brokerId);
    if (broker->status != 0) {
        std::fprintf(stderr, "the broker object failed\n");
        std::exit(1);
    }
    broker->readStatsArea(1);
    const ZOV_Resource_ID groupId = identity("group");
    ZOV_Execution_Group* group = broker->insertExecutionGroup(&groupId);
    group->setProcessId(static_cast<int>(getpid()));
    ZOV_Message_Flow* flow = nullptr;
    for (int i = 0; i < nodes; ++i) {
        if (i % kNodesPerFlow == 0) {
            const ZOV_Resource_ID flowId = identity("flow" + std::to_string(i / kNodesPerFlow));
            flow = group->insertMessageFlow(&flowId);
        }
        const ZOV_Resource_ID nodeId = identity("node" + std::to_string(i));
        ZOV_Node* node = flow->insertNode(&nodeId);
        if (node == nullptr) {
            std::fprintf(stderr, "node %d not inserted\n", i);
            std::exit(1);
        }
        node->setNodeType(ZOV_NT_OTHER);
    }
    broker->resetStatistics();  // writes the whole tree into the area
    return broker;
}

unsigned int areaFor(int nodes) {
    const unsigned int bytes = 4096 + kBytesPerNode * static_cast<unsigned int>(nodes);
    return bytes < kZOVDefaultAreaSize ? kZOVDefaultAreaSize : bytes;
}

// One point in a process of its own: a process keeps a table of the
// segments it attached, and every point makes and removes a segment.
void joinOnce(int nodes, int round) {
    auto plugin = zovbench::loadMonitor();
    auto builder = prefill(nodes - 1);
    standin::NodeNames names;
    names.broker = zovbench::kBroker;
    names.executionGroup = "group";
    names.messageFlow = "joinflow";
    names.node = "joiner";
    const double start = zovbench::threadCpuSeconds();
    auto node = plugin->createNode(names);
    const double created = zovbench::threadCpuSeconds();
    const double wallCreated = zovbench::wallSeconds();
    node->setAttribute("label", "joiner");
    node->setAttribute("type", "other");  // the K-th node joins here
    const double joined = zovbench::threadCpuSeconds();
    const double wallJoined = zovbench::wallSeconds();
    std::printf("%d,%d,%.3f,%.3f,%.3f\n", nodes, round, (created - start) * 1e3,
                (joined - created) * 1e3, (wallJoined - wallCreated) * 1e3);
    std::fflush(stdout);
    node.reset();
    builder.reset();  // the last user: the segment goes
}

int runJoins(int maxNodes, int rounds) {
    // K = max, max/2, ... down to 1: doublings from the top.
    std::vector<int> counts;
    for (int k = maxNodes; k >= 1; k /= 2)
        counts.insert(counts.begin(), k);
    zovbench::prepareBroker(false, areaFor(maxNodes));
    std::printf("nodes,round,create_ms,join_ms,join_wall_ms\n");
    std::fflush(stdout);
    for (int round = 1; round <= rounds; ++round) {
        for (const int k : counts) {
            const pid_t child = zovbench::forkChild([&] {
                joinOnce(k, round);
                return 0;
            });
            if (zovbench::waitChild(child) != 0) {
                std::fprintf(stderr, "the join of node %d failed\n", k);
                return 1;
            }
        }
    }
    return 0;
}

// One capture and decode, as the viewer makes them for each refresh; the
// processor and wall-clock milliseconds.
std::pair<double, double> snapshotMs() {
    const double start = zovbench::threadCpuSeconds();
    const double wallStart = zovbench::wallSeconds();
    lumenaview::Capture capture =
        lumenaview::captureSegment(zovbench::kUuid, 3, lumenaview::locateStatistics);
    if (capture.status != lumenaview::CaptureStatus::kOk) {
        std::fprintf(stderr, "capture failed: %s\n", capture.message.c_str());
        std::exit(1);
    }
    const lumenaview::BrokerView view =
        lumenaview::decodeBroker(zovbench::kUuid, capture.image, lumenaview::DecodeOptions{});
    const double end = zovbench::threadCpuSeconds();
    const double wallEnd = zovbench::wallSeconds();
    if (!view.error.empty() || !view.found) {
        std::fprintf(stderr, "decode failed: %s\n", view.error.c_str());
        std::exit(1);
    }
    return {(end - start) * 1e3, (wallEnd - wallStart) * 1e3};
}

int runViewer(unsigned int maxArea, int rounds) {
    std::printf("area_bytes,nodes,used_bytes,round,snapshot_ms,snapshot_wall_ms\n");
    for (unsigned int area = kZOVDefaultAreaSize; area <= maxArea; area *= 4) {
        // As many nodes as fill nine tenths of the area.
        const int nodes = static_cast<int>((area - 4096) * 9 / 10 / kBytesPerNode);
        zovbench::prepareBroker(false, area);
        auto builder = prefill(nodes);
        const auto* stats = builder->getStatsArea();
        const auto used = static_cast<long>(
            static_cast<const unsigned char*>(stats->getNextPosition()) - stats->bytes());
        for (int round = 1; round <= rounds; ++round) {
            const auto [cpu, wall] = snapshotMs();
            std::printf("%u,%d,%ld,%d,%.3f,%.3f\n", area, nodes, used, round, cpu, wall);
            std::fflush(stdout);
        }
    }
    return 0;
}

int fillingNodes(unsigned int area) {
    return static_cast<int>((area - 4096) * 9 / 10 / kBytesPerNode);
}

// Takes and gives back every semaphore set of this IPC namespace (the
// bench's own, in its sandbox), as a scrape finds them when every node has
// counted messages since the one before.
void operateEverySet() {
    std::ifstream list("/proc/sysvipc/sem");
    list.ignore(std::numeric_limits<std::streamsize>::max(), '\n');  // the heading
    long key = 0;
    int id = 0;
    while (list >> key >> id) {
        list.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        sembuf take = {0, -1, IPC_NOWAIT};
        sembuf give = {0, 1, 0};
        if (semop(id, &take, 1) == 0)
            semop(id, &give, 1);
    }
}

// Scrapes of `nodes` nodes in an area of `area` bytes, each timed phase by
// phase in processor milliseconds of this thread, and whole on the wall clock.
// With `busy`, every semaphore set is operated on before each count of locks;
// the first scrape comes `settle` seconds after the area was filled.
int runScrapes(unsigned int area, int nodes, int rounds, bool busy, int settle) {
    zovbench::prepareBroker(false, area);
    auto builder = prefill(nodes);
    sleep(static_cast<unsigned>(settle));
    std::printf(
        "area_bytes,nodes,round,capture_ms,decode_ms,format_ms,locks_ms,scrape_ms,"
        "scrape_wall_ms,text_bytes\n");
    for (int round = 1; round <= rounds; ++round) {
        double at[4];
        at[0] = zovbench::threadCpuSeconds();
        lumenaview::Capture capture =
            lumenaview::captureSegment(zovbench::kUuid, 100, lumenaview::locateStatistics,
                                       lumenaview::CaptureAreas::kStatistics);
        at[1] = zovbench::threadCpuSeconds();
        std::vector<lumenaview::BrokerView> views;
        views.push_back(
            lumenaview::decodeBroker(zovbench::kUuid, capture.image, lumenaview::DecodeOptions{}));
        at[2] = zovbench::threadCpuSeconds();
        const std::string phased = lumenaview::prometheusText(views, false, {0, 0, 0});
        if (busy)
            operateEverySet();
        at[3] = zovbench::threadCpuSeconds();
        const int stale = lumenaview::countStaleLocks();
        const double locks = zovbench::threadCpuSeconds() - at[3];
        if (busy)
            operateEverySet();
        // The whole scrape as the server makes it, timed on its own.
        const double wallStart = zovbench::wallSeconds();
        const double start = zovbench::threadCpuSeconds();
        const std::string text = lumenaview::scrapeMetrics(false);
        const double cpu = zovbench::threadCpuSeconds() - start;
        const double wall = zovbench::wallSeconds() - wallStart;
        if (capture.status != lumenaview::CaptureStatus::kOk || !views[0].found || stale != 0 ||
            text.size() != phased.size()) {
            std::fprintf(stderr, "scrape failed: %s\n", capture.message.c_str());
            return 1;
        }
        std::printf("%u,%d,%d,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%zu\n", area, nodes, round,
                    (at[1] - at[0]) * 1e3, (at[2] - at[1]) * 1e3, (at[3] - at[2]) * 1e3,
                    locks * 1e3, cpu * 1e3, wall * 1e3, text.size());
        std::fflush(stdout);
    }
    return 0;
}

// The statistics area of `area` bytes filled with `nodes` nodes, held while a
// shell command runs against it (scripts/bench.sh times metrics scrapes so).
int runHolding(unsigned int area, int nodes, const char* command) {
    zovbench::prepareBroker(false, area);
    auto builder = prefill(nodes);
    std::printf("area_bytes %u, nodes %d\n", area, nodes);
    std::fflush(stdout);
    return std::system(command) == 0 ? 0 : 1;
}

int argument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    zovbench::requireSandbox(argv[0]);
    const std::string mode = argc > 1 ? argv[1] : "";
    const int rounds = argument(argc, argv, "--rounds", 3);
    if (mode == "joins")
        return runJoins(argument(argc, argv, "--max", 2000), rounds);
    if (mode == "viewer")
        return runViewer(static_cast<unsigned int>(argument(argc, argv, "--max-area", 8388608)),
                         rounds);
    const auto area = static_cast<unsigned int>(argument(argc, argv, "--area", 16777216));
    const int nodes = argument(argc, argv, "--nodes", fillingNodes(area));
    if (mode == "scrape")
        return runScrapes(area, nodes, rounds, argument(argc, argv, "--busy", 0) != 0,
                          argument(argc, argv, "--settle", 0));
    if (mode == "hold" && argc > 2)
        return runHolding(area, nodes, argv[argc - 1]);
    std::fprintf(stderr,
                 "usage: %s joins|viewer [--max K] [--max-area BYTES] [--rounds R]\n"
                 "       %s scrape|hold [--area BYTES] [--nodes N] [--rounds R] [COMMAND]\n",
                 argv[0], argv[0]);
    return 64;
}
