// Statistics updates under contention: several processes with several
// threads each, every thread with its own broker object and tree for the same
// node identity, must count every message exactly once; and resets under the
// area lock must not deadlock with updaters that hold a record's mutex.
// Runs inside zovsandbox (private /tmp, /opt and IPC namespace).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "broker/harness.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcnoir.h"
#include "zov/zovcstar.h"

namespace {

using zovtest::asDouble;
using zovtest::join;
using zovtest::makeBroker;
using zovtest::storedStatistics;

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
// Per thread: a few seconds in the default suite.
constexpr int kDefaultUpdates = 6000;
// Per thread: the full size, registered only with ZOV_SOAK.
constexpr int kFullUpdates = 25000;

int sizeOf(int update) {
    return 1 + update % 5;
}

double sizeSum(int updates) {
    double sum = 0;
    for (int i = 0; i < updates; ++i)
        sum += sizeOf(i);
    return sum;
}

// Thread `index` of all processes and threads updates node N1, or with two
// nodes N1 and N2 by turns.
std::string nodeOf(int index, int nodes) {
    return nodes == 2 && index % 2 ? "N2" : "N1";
}

// One thread: its own broker and tree, joined before the start signal.
int updateFromOwnTree(const std::string& node, int updates, std::latch& joined, std::latch& start) {
    auto broker = makeBroker();
    ZOV_Node* joinedNode = broker->status == 0 ? join(*broker, "EG1", "MF1", node) : nullptr;
    joined.count_down();
    start.wait();
    if (joinedNode == nullptr)
        return updates;
    int failures = 0;
    for (int i = 0; i < updates; ++i) {
        if (broker->updateStatistics(joinedNode->getNodeStatistics(), 0.002, 0.001, sizeOf(i)) != 0)
            ++failures;
    }
    return failures;
}

// One process: kThreads threads; reports on `ready` once all joined (a join
// resets every statistic) and starts them when `go` delivers a byte.
int runProcess(int process, int nodes, int updates, int ready, int go) {
    std::latch joined(kThreads);
    std::latch start(1);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        const std::string node = nodeOf(process * kThreads + t, nodes);
        threads.emplace_back(
            [&, node] { failures += updateFromOwnTree(node, updates, joined, start); });
    }
    joined.wait();
    char byte = 'r';
    bool signalled = write(ready, &byte, 1) == 1 && read(go, &byte, 1) == 1;
    start.count_down();
    for (auto& thread : threads)
        thread.join();
    return signalled && failures == 0 ? 0 : 1;
}

// Node information records stored under `label`.
int storedNodeRecords(ZOV_Broker& broker, const char* label) {
    ZOV_Record_Set set;
    broker.getStatsArea()->read(&set);
    int found = 0;
    for (ZOV_Record* record : set) {
        const auto* node = dynamic_cast<const ZOV_NOIR*>(record);
        if (node != nullptr && node->getLabel() == label)
            ++found;
    }
    set.clearAndDestroy();
    return found;
}

void expectExactCounts(ZOV_Broker& broker, ZOV_Node* node, int threadsOnNode, int updates) {
    const auto stored = storedStatistics(broker, *node);
    const double messages = static_cast<double>(threadsOnNode) * updates;
    EXPECT_EQ(asDouble(stored->getMessageCount()), messages);
    EXPECT_EQ(asDouble(stored->getSumSize()), threadsOnNode * sizeSum(updates));
    EXPECT_EQ(asDouble(stored->getSumElapsed()), messages) << "1 ms each";
    EXPECT_EQ(asDouble(stored->getSumQueued()), 2 * messages) << "2 ms each";
    EXPECT_EQ(stored->getMinSize(), 1);
    EXPECT_EQ(stored->getMaxSize(), 5);
}

void runContention(int nodes, int updates) {
    zovtest::configure(nullptr);
    {
        auto parent = makeBroker();
        ASSERT_EQ(parent->status, 0);
        ZOV_Node* first = join(*parent, "EG1", "MF1", "N1");
        ZOV_Node* second = nodes == 2 ? join(*parent, "EG1", "MF1", "N2") : nullptr;
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        std::vector<int> children;
        for (int p = 0; p < kProcesses; ++p) {
            children.push_back(zovtest::forkChild(
                [&, p] { return runProcess(p, nodes, updates, ready[1], go[0]); }));
        }
        char byte;
        for (int p = 0; p < kProcesses; ++p)
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
        for (int p = 0; p < kProcesses; ++p)
            ASSERT_EQ(write(go[1], "g", 1), 1);
        for (int pid : children)
            EXPECT_EQ(zovtest::waitChild(pid), 0);
        for (int fd : {ready[0], ready[1], go[0], go[1]})
            close(fd);

        const int all = kProcesses * kThreads;
        expectExactCounts(*parent, first, nodes == 2 ? all / 2 : all, updates);
        if (second != nullptr)
            expectExactCounts(*parent, second, all / 2, updates);
        // Joins are serialised under the area lock: one record per identity.
        EXPECT_EQ(storedNodeRecords(*parent, "N1"), 1);
    }
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
}

TEST(Contention, EveryUpdateOfOneNodeCountsOnce) {
    runContention(1, kDefaultUpdates);
}

TEST(Contention, EveryUpdateOfTwoNodesAtOnceCountsOnce) {
    runContention(2, kDefaultUpdates);
}

// Registered as a separate test when ZOV_SOAK is on.
TEST(Contention, DISABLED_FullSizeOneNode) {
    runContention(1, kFullUpdates);
}
TEST(Contention, DISABLED_FullSizeTwoNodes) {
    runContention(2, kFullUpdates);
}

// Updaters hold the record's mutex and, at the maximum, take the area lock to
// reset; a resetter holds the area lock throughout. Were a record mutex ever
// taken under the area lock, this would deadlock: the alarm ends the program.
TEST(Contention, ResetsDoNotDeadlockWithUpdatersAtTheMaximum) {
    zovtest::configure(nullptr);
    standin::LogSink log;
    constexpr int kUpdaters = 3;
    constexpr int kRounds = 300;
    alarm(120);
    {
        auto setup = makeBroker();
        ASSERT_NE(join(*setup, "EG1", "MF1", "N1"), nullptr);
        ASSERT_NE(join(*setup, "EG1", "MF1", "N2"), nullptr);
        std::latch joined(kUpdaters + 1);
        std::vector<std::thread> threads;
        std::atomic<int> failures{0};
        for (int t = 0; t < kUpdaters; ++t) {
            threads.emplace_back([&] {
                auto broker = makeBroker();
                ZOV_Node* node = join(*broker, "EG1", "MF1", "N1");
                joined.arrive_and_wait();
                ZOV_STIR* record = node->getNodeStatistics();
                const __float128 maximum = ZOV_STIR::kMaximumCount;
                for (int round = 0; round < kRounds; ++round) {
                    record->lock();
                    std::memcpy(static_cast<unsigned char*>(record->getSharedPosition()) +
                                    ZOV_STIR::kMessageCountOffset,
                                &maximum, sizeof maximum);
                    record->unlock();
                    if (broker->updateStatistics(record, 0.0, 0.001, 1) != ZOV_RC_OK)
                        ++failures;
                }
            });
        }
        threads.emplace_back([&] {
            auto broker = makeBroker();
            join(*broker, "EG1", "MF1", "N2");
            joined.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round)
                broker->resetStatistics();
        });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_GE(log.countWithNumber(ZOV_MSG_MAXIMUM_REACHED), static_cast<size_t>(kRounds));
    }
    alarm(0);
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
}

}  // namespace
