// Execution-group processes killed with SIGKILL between messages, or holding
// a lock (taken without undo, so it stays taken) that the viewer then frees.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "tools/lumenaview_app.h"
#include "tools/lumenaview_locks.h"

namespace {

constexpr char kBroker[] = "CRASHBRK";
constexpr char kUuid[] = "crash-uuid";

std::unique_ptr<standin::Node> joinedNode(standin::Plugin& plugin, const std::string& group,
                                          const std::string& label) {
    auto node = plugin.createNode({kBroker, group, "F", label});
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("label", label);
    node->setAttribute("type", "input");
    return node;
}

// An execution-group process with its own plug-in and one joined node, driven
// by counts over a socket pair: 'r' when ready; n > 0: n messages, then 'd';
// n < 0: -n messages, 'd', then waits to be killed; 0 ends it.
class GroupProcess {
  public:
    GroupProcess(const std::string& group, const std::string& label) {
        int ends[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0)
            pid = zovtest::forkChild([&] { return serve(group, label, ends[1]); });
        close(ends[1]);
        fd = ends[0];
    }
    ~GroupProcess() {
        if (!ended)
            kill9();
        close(fd);
    }
    bool ready() { return reply() == 'r'; }
    void startSending(int messages) { (void)!write(fd, &messages, sizeof messages); }
    bool finished() { return reply() == 'd'; }
    bool send(int messages) { return startSending(messages), finished(); }
    bool stopAfter(int messages) { return startSending(-messages), finished(); }
    void kill9() {
        kill(pid, SIGKILL);
        zovtest::waitChild(pid);
        ended = true;
    }
    int quit() {
        startSending(0);
        ended = true;
        return zovtest::waitChild(pid, 60);
    }
    pid_t pid = -1;

  private:
    char reply() {
        char answer = 0;
        return read(fd, &answer, 1) == 1 ? answer : 0;
    }
    static int serve(const std::string& group, const std::string& label, int fd) {
        auto plugin = zovtest::loadPlugin();
        auto node = joinedNode(*plugin, group, label);
        auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(0.1));
        int count = 0;
        for (char answer = 'r'; write(fd, &answer, 1) == 1 && count >= 0; answer = 'd') {
            if (read(fd, &count, sizeof count) != sizeof count)
                return 2;
            if (count == 0)
                return 0;
            for (int i = 0; i < std::abs(count); ++i)
                node->evaluate(&message);
        }
        while (count < 0)
            pause();  // until killed
        return 2;
    }

    int fd = -1;
    bool ended = false;
};

zovtest::AreaCounts readCounts() {
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    ZOV_Broker reader(&id);
    return zovtest::readAreaCounts(reader);
}

// Runs the viewer in this process; `answer` is what it reads if it asks.
int viewer(std::vector<const char*> argv, std::string& output, const std::string& answer = "") {
    argv.insert(argv.begin(), "lumenaview");
    std::ostringstream out, err;
    std::istringstream in(answer);
    const int code =
        lumenaview::runLumenaview(static_cast<int>(argv.size()), argv.data(), out, err, false, in);
    output = out.str() + err.str();
    return code;
}

std::future<void> evaluation(standin::Node& node) {
    return std::async(std::launch::async, [&node] {
        auto message = standin::Message::fromSpec(standin::MessageSpec{});
        node.evaluate(&message);
    });
}

bool doneWithin(const std::future<void>& done, double seconds) {
    return done.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

class CrashTest : public ::testing::Test {
  public:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 65536\n");
        ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, kUuid));
        plugin = zovtest::loadPlugin();
    }
    void TearDown() override {
        plugin.reset();  // a killed process leaves its mutexes' objects, none taken
        EXPECT_TRUE(zovtest::ipcObjects("shm").empty()) << "the segment was not removed";
        for (const zovtest::IpcObject& set : zovtest::ipcObjects("sem"))
            EXPECT_EQ(zovtest::semaphoreValue(set.id), 1) << "a mutex is left taken";
        zovtest::removeLeftovers();
    }

    std::unique_ptr<standin::Plugin> plugin;
};

// S1 and S2 keep sending while V's group process is killed at a random
// message; V's group starts again and rejoins, resetting every statistic.
TEST_F(CrashTest, KillBetweenMessagesLosesNoUpdateAndARestartedGroupRejoins) {
    constexpr int kRound = 2000;
    std::mt19937 random(static_cast<unsigned>(std::time(nullptr)));
    std::uniform_int_distribution<int> killAt(1, kRound - 1);
    GroupProcess s1("EG1", "S1"), s2("EG2", "S2");
    auto victim = std::make_unique<GroupProcess>("EGV", "V");
    ASSERT_TRUE(s1.ready() && s2.ready() && victim->ready());
    using Counts = std::map<std::string, double>;
    for (int cycle = 0, sent = 0; cycle < 3; ++cycle, sent = kRound) {
        const int k = killAt(random);
        s1.startSending(kRound);
        s2.startSending(kRound);
        ASSERT_TRUE(victim->stopAfter(k));
        victim->kill9();  // while S1 and S2 may still be sending
        ASSERT_TRUE(s1.finished() && s2.finished());
        EXPECT_EQ(readCounts().messages,
                  (Counts{{"S1", sent + kRound}, {"S2", sent + kRound}, {"V", sent + k}}))
            << "cycle " << cycle << ", V killed after " << k;
        victim = std::make_unique<GroupProcess>("EGV", "V");
        ASSERT_TRUE(victim->ready());
        const zovtest::AreaCounts counts = readCounts();
        EXPECT_EQ(counts.records.at("V"), 1) << "V joined as a second node";
        EXPECT_EQ(counts.messages, (Counts{{"S1", 0}, {"S2", 0}, {"V", 0}}));
        ASSERT_TRUE(s1.send(kRound) && s2.send(kRound) && victim->send(kRound));  // next: sent
    }
    for (GroupProcess* group : {&s1, &s2, victim.get()})
        EXPECT_EQ(group->quit(), 0);
}

// A kill holding a record's mutex stalls that node's updates and every join
// (its reset takes each record's mutex); holding the area lock, joins only.
// The viewer names the stale lock and its dead holder and frees it on request.
class KillHoldingALock : public CrashTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KillHoldingALock, StallsWhatWaitsForItUntilTheViewerReleasesIt) {
    const bool recordMutex = GetParam();
    auto w = joinedNode(*plugin, "EG1", "W"), v = joinedNode(*plugin, "EGV", "V");
    const pid_t holder = zovtest::forkChild([recordMutex] {
        auto child = zovtest::loadPlugin();
        auto victim = joinedNode(*child, "EGV", "V");
        ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*victim);
        if (monitor == nullptr || monitor->getStatisticsRecord() == nullptr)
            return 1;
        if (recordMutex)
            monitor->getStatisticsRecord()->lock();  // as an update does
        else
            monitor->getBroker()->lockStatsArea();  // as a join does
        kill(getpid(), SIGKILL);
        return 2;
    });
    ASSERT_EQ(zovtest::waitChildWithin(holder, 60).signal, SIGKILL) << "it did not take the lock";

    const auto otherUpdate = evaluation(*w), sameUpdate = evaluation(*v);
    EXPECT_TRUE(doneWithin(otherUpdate, 5)) << "another node's update waited";
    EXPECT_EQ(doneWithin(sameUpdate, recordMutex ? 1 : 5), !recordMutex);
    auto late = plugin->createNode({kBroker, "EG2", "F", "J"});
    late->setAttribute("label", "J");
    const auto joined =
        std::async(std::launch::async, [&] { late->setAttribute("type", "input"); });
    EXPECT_FALSE(doneWithin(joined, 1)) << "the join took a lock its holder never freed";

    std::string shown;
    EXPECT_EQ(viewer({"--locks"}, shown), lumenaview::kExitPartial) << shown;
    const std::vector<lumenaview::LockView> locks = lumenaview::listLocks({kUuid});
    const lumenaview::LockView* stale = nullptr;
    for (const auto& lock : locks) {
        if (lock.state == lumenaview::LockState::kStale)
            stale = &lock;
        else  // a free mutex is never released
            EXPECT_EQ(viewer({"--release-stale", lock.keyFile.c_str(), "--yes"}, shown),
                      lumenaview::kExitPartial);
    }
    ASSERT_NE(stale, nullptr) << shown;
    EXPECT_EQ(stale->kind, recordMutex ? "record" : "statistics area");
    EXPECT_EQ(stale->lastPid, holder);
    EXPECT_GE(stale->waiting, 1) << "the stalled join waits on it";
    EXPECT_EQ(viewer({"--release-stale", stale->keyFile.c_str()}, shown, "n\n"),
              lumenaview::kExitPartial);
    EXPECT_FALSE(doneWithin(joined, 0.1)) << "released though declined";
    EXPECT_EQ(viewer({"--release-stale", stale->keyFile.c_str()}, shown, "y\n"),
              lumenaview::kExitOk)
        << shown;
    EXPECT_TRUE(doneWithin(joined, 10)) << "the join stayed stalled after the release";
    EXPECT_TRUE(doneWithin(sameUpdate, 5)) << "the update stayed stalled after the release";
    EXPECT_EQ(viewer({"--locks"}, shown), lumenaview::kExitOk) << shown;
    EXPECT_EQ(readCounts().records["J"], 1);
}

INSTANTIATE_TEST_SUITE_P(RecordMutexOrAreaLock, KillHoldingALock, ::testing::Bool());

}  // namespace
