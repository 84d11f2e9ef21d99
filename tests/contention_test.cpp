// Statistics updates and resets from threads in several processes, each
// thread with its own broker and tree.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <latch>
#include <string>
#include <vector>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"

namespace {

// The next call of time() (by any one thread) reports on `pauseReport` and
// waits up to a second for a byte on `pauseResume`.
std::atomic<int> pauseReport{-1};
std::atomic<int> pauseResume{-1};

}  // namespace

extern "C" time_t time(time_t* result) {
    const int report = pauseReport.exchange(-1);
    if (report >= 0 && write(report, "p", 1) == 1) {
        pollfd wait = {pauseResume.load(), POLLIN, 0};
        poll(&wait, 1, 1000);
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (result != nullptr)
        *result = now.tv_sec;
    return now.tv_sec;
}

namespace {

using zovtest::asDouble;
using zovtest::join;
using zovtest::makeBroker;
using zovtest::storedStatistics;

constexpr int kProcesses = 4;
constexpr int kThreads = 4;

int sizeOf(int update) {
    return 1 + update % 5;
}

// kThreads threads with a broker each, on N1 and N2 by turns, start together
// after all have joined (a join resets every statistic).
int runProcess(int updates, const zovtest::Pipe& ready, const zovtest::Pipe& go) {
    std::latch joined(kThreads + 1), start(1);
    std::atomic<int> failures{0};
    auto threads = zovtest::startThreads(kThreads, [&](int t) {
        auto broker = makeBroker();
        ZOV_Node* node = join(*broker, "EG1", "MF1", t % 2 ? "N2" : "N1");
        joined.count_down();
        start.wait();
        for (int i = 0; i < updates; ++i) {
            if (node == nullptr ||
                broker->updateStatistics(node->getNodeStatistics(), 0.002, 0.001, sizeOf(i)) != 0)
                ++failures;
        }
    });
    joined.arrive_and_wait();
    const bool signalled = ready.signal() && go.await();
    start.count_down();
    threads.clear();
    return signalled && failures == 0 ? 0 : 1;
}

void runContention(int updates) {
    zovtest::configure(nullptr);
    {
        auto parent = makeBroker();
        ZOV_Node* nodes[] = {join(*parent, "EG1", "MF1", "N1"), join(*parent, "EG1", "MF1", "N2")};
        zovtest::Pipe ready, go;
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p)
            children.push_back(zovtest::forkChild([&] { return runProcess(updates, ready, go); }));
        for (int p = 0; p < kProcesses; ++p)
            ASSERT_TRUE(ready.await());
        ASSERT_TRUE(go.send("gggg", kProcesses));
        for (pid_t pid : children)
            EXPECT_EQ(zovtest::waitChild(pid), 0);
        const double sizes = 3.0 * updates;  // 1 to 5 by turns, a multiple of 5 updates
        const double perNode = kProcesses * kThreads / 2;
        for (ZOV_Node* node : nodes) {
            const auto stored = storedStatistics(*parent, *node);
            EXPECT_EQ(asDouble(stored->getMessageCount()), perNode * updates);
            EXPECT_EQ(asDouble(stored->getSumSize()), perNode * sizes);
            EXPECT_EQ(asDouble(stored->getSumElapsed()), perNode * updates) << "1 ms each";
            EXPECT_EQ(asDouble(stored->getSumQueued()), 2 * perNode * updates) << "2 ms each";
            EXPECT_EQ(stored->getMinSize(), 1);
            EXPECT_EQ(stored->getMaxSize(), 5);
        }
    }
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
}

// 16 threads in 4 processes, 8 on each of two nodes (25000 each with ZOV_SOAK).
TEST(Contention, EveryUpdateOfTwoNodesAtOnceCountsOnce) {
    runContention(6000);
}
TEST(Contention, DISABLED_FullSizeTwoNodes) {
    runContention(25000);
}

// Updaters at the maximum let their record's mutex go and reset under the
// area lock, taking each record's mutex inside it, beside a resetter: were the
// area lock ever taken under a record's mutex, the alarm would end the program.
TEST(Contention, ResetsDoNotDeadlockWithUpdatersAtTheMaximum) {
    zovtest::configure(nullptr);
    constexpr int kUpdaters = 3;
    constexpr int kRounds = 200;
    alarm(120);
    {
        // Made and joined before the threads start (making one reads the
        // area's header without its lock).
        std::unique_ptr<ZOV_Broker> brokers[kUpdaters + 1];
        ZOV_Node* nodes[kUpdaters + 1];
        for (int t = 0; t <= kUpdaters; ++t) {
            brokers[t] = makeBroker();
            nodes[t] = join(*brokers[t], "EG1", "MF1", "N" + std::to_string(t));
            ASSERT_NE(nodes[t], nullptr);
        }
        std::atomic<int> failures{0};
        const __float128 maximum = ZOV_STIR::kMaximumCount;
        zovtest::startThreads(kUpdaters + 1, [&](int t) {  // the last one resets
            ZOV_STIR* record = nodes[t]->getNodeStatistics();
            auto* count = static_cast<unsigned char*>(record->getSharedPosition()) +
                          ZOV_STIR::kMessageCountOffset;
            for (int round = 0; round < kRounds; ++round) {
                if (t == kUpdaters) {
                    brokers[t]->resetStatistics();
                    continue;
                }
                record->lock();
                std::memcpy(count, &maximum, sizeof maximum);
                record->unlock();
                failures += brokers[t]->updateStatistics(record, 0.0, 0.001, 1) != ZOV_RC_OK;
            }
        });
        EXPECT_EQ(failures.load(), 0);
    }
    alarm(0);
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
}

// An update stops inside its record's mutex (at its clock reading) while
// another process resets: a reset ignoring that mutex is written over.
TEST(Contention, AResetInAnotherProcessIsNotLostUnderAnUpdateInFlight) {
    zovtest::configure(nullptr);
    auto parent = makeBroker();
    ZOV_Node* node = join(*parent, "EG1", "MF1", "N1");
    ASSERT_NE(node, nullptr);
    zovtest::Pipe paused, resume;
    const pid_t child = zovtest::forkChild([&] {
        auto broker = makeBroker();
        ZOV_Node* same = join(*broker, "EG1", "MF1", "N1");
        for (int i = 0; i < 5; ++i)
            broker->updateStatistics(same->getNodeStatistics(), 0.0, 0.001, 10);
        pauseResume = resume.readEnd();
        pauseReport = paused.writeEnd();
        return broker->updateStatistics(same->getNodeStatistics(), 0.0, 0.001, 10);
    });
    ASSERT_TRUE(paused.await());
    parent->resetStatistics();
    ASSERT_TRUE(resume.signal());
    EXPECT_EQ(zovtest::waitChild(child), 0);
    EXPECT_EQ(asDouble(storedStatistics(*parent, *node)->getMessageCount()), 0);
}

}  // namespace
