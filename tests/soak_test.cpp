// Soak: 4 execution-group processes of 4 message threads, each thread with a
// node of its own, half of them writing an event per message (the event data
// area wraps over and over). While messages flow, threads delete their node
// and join again and push its count to the maximum (each resets all
// statistics). Then the statistics are reset once and every thread sends an
// exact number of messages: each node must count exactly those; no process
// grows in memory after its first round, System V objects and key files do
// not grow, nothing fails. The full run (minutes) comes with ZOV_SOAK.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcevar.h"

namespace {

constexpr char kBroker[] = "SOAKBRK";
constexpr char kUuid[] = "soak-uuid";
constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr int kBatch = 40;           // messages between two decisions of a thread
constexpr int kFinalMessages = 500;  // per thread, counted exactly
// Event data area of (65536 - 64) / 208 = 314 records.
constexpr char kConfig[] = "ZOVMemorySize 65536\n";
constexpr long kEventCapacity = (65536 - 64) / 208;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

// Counts the messages of the catalogue by number; keeps no line.
class CountingLog : public standin::LogHandler {
  public:
    CountingLog() : previous(standin::setLogHandler(this)) {}
    ~CountingLog() override { standin::setLogHandler(previous); }
    void write(const standin::LogRecord& record) override {
        if (record.messageNumber >= 1 && record.messageNumber <= 3)
            ++counts[record.messageNumber];
    }
    std::atomic<long> counts[4] = {};

  private:
    standin::LogHandler* previous;
};

// What a process reports at the end, through a pipe.
struct ProcessReport {
    long eventMessages = 0;       // sent in the churn through nodes writing events
    long joins = 0;               // nodes deleted and joined again
    long failures = 0;            // messages 1 and 2 logged
    long maximumMessages = 0;     // messages 3 logged
    long residentAfterFirst = 0;  // kB, after the first round
    long residentAtEnd = 0;       // kB, after the churn
};

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string labelOf(int process, int thread) {
    return "P" + std::to_string(process) + "T" + std::to_string(thread);
}

// One message thread's node: made, configured, joined.
std::unique_ptr<standin::Node> makeNode(standin::Plugin& plugin, int process, int thread) {
    auto node = plugin.createNode(
        {kBroker, "EG" + std::to_string(process), "F" + std::to_string(thread % 2), "n"});
    node->setDownstream([](const standin::Delivery&) {});
    if (thread % 2 == 0)
        node->setAttribute("eventMessage", "soak event");
    node->setAttribute("label", labelOf(process, thread));
    node->setAttribute("type", thread == 0 ? "input" : "other");
    return node;
}

// One execution-group process: kThreads threads churn until `seconds` have
// passed (one first round of a fifth of it, then the rest), wait for the
// go of the final phase, send kFinalMessages each and report.
int runProcess(int process, double seconds, const zovtest::Pipe& commands,
               const zovtest::Pipe& replies) {
    CountingLog log;
    auto plugin = zovtest::loadPlugin();
    std::atomic<long> eventMessages{0}, joins{0};
    std::vector<std::unique_ptr<standin::Node>> nodes(kThreads);
    for (int t = 0; t < kThreads; ++t)
        nodes[t] = makeNode(*plugin, process, t);
    const auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(0.2));
    const auto send = [&](int thread, int messages) {
        for (int i = 0; i < messages; ++i)
            nodes[thread]->evaluate(&message);
    };

    // Every round ends with a batch: a node joined last has then built the
    // mutex of its record, and every process is in its steady state.
    auto churn = [&](int thread, double forSeconds) {
        std::mt19937 random(static_cast<unsigned>(process * 100 + thread));
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(forSeconds);
        while (true) {
            send(thread, kBatch);
            eventMessages += thread % 2 == 0 ? kBatch : 0;
            if (std::chrono::steady_clock::now() >= until)
                return;
            const unsigned roll = random() % 16;
            if (roll == 0) {
                nodes[thread].reset();  // marked deleted
                nodes[thread] = makeNode(*plugin, process, thread);
                ++joins;
            } else if (roll == 1) {
                zovtest::pushToMaximum(*nodes[thread]);
            }
        }
    };
    auto round = [&](const std::function<void(int)>& body) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(body, t);
        for (auto& thread : threads)
            thread.join();
    };

    ProcessReport report;
    round([&](int t) { churn(t, seconds / 5); });
    report.residentAfterFirst = residentKilobytes();
    round([&](int t) { churn(t, seconds * 4 / 5); });
    report.residentAtEnd = residentKilobytes();
    if (!replies.signal() || !commands.await())
        return 2;
    round([&](int t) { send(t, kFinalMessages); });
    report.eventMessages = eventMessages;
    report.joins = joins;
    report.failures = log.counts[1] + log.counts[2];
    report.maximumMessages = log.counts[3];
    // The nodes stay until the parent has read the area.
    if (!replies.send(&report, sizeof report) || !commands.await())
        return 3;
    nodes.clear();
    return 0;
}

// The events posted since the reader's previous look.
size_t newEvents(ZOV_Broker& reader, int& result) {
    ZOV_Ordered_Record_Set events;
    result = reader.getEvents(&events);
    const size_t found = events.entries();
    events.clearAndDestroy();
    return found;
}

void soak(double seconds) {
    zovtest::configure(kConfig);
    ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, kUuid));
    zovtest::Pipe commands[kProcesses], replies[kProcesses];
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(
            zovtest::forkChild([&, p] { return runProcess(p, seconds, commands[p], replies[p]); }));
    }
    for (int p = 0; p < kProcesses; ++p)
        ASSERT_TRUE(replies[p].await()) << "process " << p;

    // All quiet, every node joined: a steady broker holds one named mutex per
    // process (its attachment table), the segment's, one per area and one per
    // node's statistics record, and one segment. The final phase adds none.
    const int objectsAfterChurn = zovtest::ipcObjectTotal();
    const int mutexes = kProcesses + 1 + 3 + kProcesses * kThreads;
    EXPECT_EQ(zovtest::ipcObjectCount("sem"), mutexes);
    EXPECT_EQ(zovtest::ipcObjectCount("msg"), mutexes);
    EXPECT_EQ(zovtest::ipcObjectCount("shm"), 1);
    const int keyFilesAfterChurn = zovtest::keyFileCount();
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    auto reader = std::make_unique<ZOV_Broker>(&id);
    ASSERT_EQ(reader->status, 0);
    reader->resetStatistics();
    int result = -1;
    newEvents(*reader, result);  // from here on
    for (int p = 0; p < kProcesses; ++p)
        ASSERT_TRUE(commands[p].signal());
    ProcessReport reports[kProcesses];
    for (int p = 0; p < kProcesses; ++p)
        ASSERT_TRUE(replies[p].receive(&reports[p], sizeof(ProcessReport))) << "process " << p;
    const zovtest::AreaCounts area = zovtest::readAreaCounts(*reader);
    const size_t events = newEvents(*reader, result);
    reader.reset();
    EXPECT_EQ(zovtest::ipcObjectTotal(), objectsAfterChurn) << "IPC objects grew";
    EXPECT_EQ(zovtest::keyFileCount(), keyFilesAfterChurn) << "key files grew";
    for (int p = 0; p < kProcesses; ++p) {
        ASSERT_TRUE(commands[p].signal());
        EXPECT_EQ(zovtest::waitChild(children[p], 120), 0);
    }

    // A forced maximum is often zeroed by another process's join before its
    // node's next message, and threads reaching it together reset once: the
    // run as a whole must have reset at the maximum, not every process.
    long eventMessages = 0, joins = 0, maximumMessages = 0;
    for (int p = 0; p < kProcesses; ++p) {
        const ProcessReport& r = reports[p];
        EXPECT_EQ(r.failures, 0) << "process " << p << " logged a failure";
        // Stacks of the threads, the allocator's arenas: a few MB at most,
        // however long the run. (A sanitizer's shadow memory and quarantine
        // grow on their own.)
        if (kMeasureMemory) {
            EXPECT_LT(r.residentAtEnd - r.residentAfterFirst, 4096)
                << "process " << p << " grew from " << r.residentAfterFirst << " kB";
        }
        eventMessages += r.eventMessages;
        joins += r.joins;
        maximumMessages += r.maximumMessages;
        for (int t = 0; t < kThreads; ++t) {
            const std::string label = labelOf(p, t);
            EXPECT_EQ(area.messages.count(label) ? area.messages.at(label) : -1, kFinalMessages)
                << label;
            EXPECT_EQ(area.records.count(label) ? area.records.at(label) : 0, 1)
                << label << ": a join made a second node";
        }
    }
    EXPECT_GT(joins, 0) << "no node joined again";
    EXPECT_GT(maximumMessages, 0) << "no process reset at the maximum";
    EXPECT_GT(eventMessages, 2 * kEventCapacity) << "the event data area never wrapped";
    // The final phase alone posts more events than the area holds: a reader
    // finds at most a full area of them, all readable.
    EXPECT_EQ(result, 0);
    EXPECT_GT(events, static_cast<size_t>(kEventCapacity) / 2);
    EXPECT_LE(events, static_cast<size_t>(kEventCapacity));
    std::printf("soak %.0f s: %ld messages with events, %ld rejoins; resident kB:", seconds,
                eventMessages, joins);
    for (const ProcessReport& r : reports)
        std::printf(" %ld->%ld", r.residentAfterFirst, r.residentAtEnd);
    std::printf("\n");
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
}

TEST(Soak, ShortRun) {
    soak(6);
}

// Registered as a test of its own with ZOV_SOAK.
TEST(Soak, DISABLED_FullRun) {
    soak(300);
}

}  // namespace
