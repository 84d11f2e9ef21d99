// Execution-group processes killed with SIGKILL, and what a kill leaves.
//
// Between messages: the other processes lose no update, the segment stays in
// use, and a process started again for the same group rejoins its node (no
// second record) and goes on counting.
//
// Holding a lock: the semaphores are taken without undo, so a process killed
// while it holds a record's mutex or an area's lock leaves it taken. The
// tests measure what then stalls and what does not, and recover with the
// viewer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
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
#include "support/reliability_support.h"
#include "support/tree_support.h"
#include "tools/lumenaview_app.h"
#include "tools/lumenaview_locks.h"

namespace {

constexpr char kBroker[] = "CRASHBRK";
constexpr char kUuid[] = "crash-uuid";

bool writeAll(int fd, const void* data, size_t size) {
    return write(fd, data, size) == static_cast<ssize_t>(size);
}
bool readAll(int fd, void* data, size_t size) {
    return read(fd, data, size) == static_cast<ssize_t>(size);
}

// An execution-group process: its own plug-in instance with one monitored
// node `label` in group `group`, flow "F", driven over two pipes.
//   'm' n: evaluate n messages, answer 'd'
//   'k' n: evaluate n messages, answer 'p', then wait to be killed
//   'q':   delete the nodes and end
class GroupProcess {
  public:
    GroupProcess(const std::string& group, const std::string& label) {
        int commands[2], replies[2];
        if (pipe(commands) != 0 || pipe(replies) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(commands[1]);
            close(replies[0]);
            _exit(serve(group, label, commands[0], replies[1]));
        }
        close(commands[0]);
        close(replies[1]);
        toChild = commands[1];
        fromChild = replies[0];
    }
    ~GroupProcess() {
        if (pid > 0 && !ended)
            kill9();
        close(toChild);
        close(fromChild);
    }

    bool ready() { return reply() == 'r'; }
    bool send(int messages) { return command('m', messages) && reply() == 'd'; }
    void startSending(int messages) { command('m', messages); }
    bool finished() { return reply() == 'd'; }
    // Evaluates `messages` on every node, then stops between two messages.
    bool stopAfter(int messages) { return command('k', messages) && reply() == 'p'; }
    void kill9() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ended = true;
    }
    int quit() {
        command('q', 0);
        ended = true;
        return zovtest::waitChildWithin(pid, 60).code;
    }
    pid_t pid = -1;

  private:
    bool command(char what, int count) {
        return writeAll(toChild, &what, 1) && writeAll(toChild, &count, sizeof count);
    }
    char reply() {
        char answer = 0;
        return readAll(fromChild, &answer, 1) ? answer : 0;
    }

    static int serve(const std::string& group, const std::string& label, int in, int out) {
        auto plugin = zovtest::loadPlugin();
        auto node = plugin->createNode({kBroker, group, "F", label});
        node->setDownstream([](const standin::Delivery&) {});
        node->setAttribute("label", label);
        node->setAttribute("type", "input");
        standin::MessageSpec recipe;
        recipe.putSecondsAgo(0.1);
        auto message = standin::Message::fromSpec(recipe);
        char answer = 'r';
        writeAll(out, &answer, 1);
        for (;;) {
            char what = 0;
            int count = 0;
            if (!readAll(in, &what, 1) || !readAll(in, &count, sizeof count))
                return 2;
            if (what == 'q')
                return 0;
            for (int i = 0; i < count; ++i)
                node->evaluate(&message);
            answer = what == 'k' ? 'p' : 'd';
            writeAll(out, &answer, 1);
            while (what == 'k')
                pause();
        }
    }

    int toChild = -1;
    int fromChild = -1;
    bool ended = false;
};

zovtest::AreaCounts readCounts() {
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    ZOV_Broker reader(&id);
    return zovtest::readAreaCounts(reader);
}

// Runs the viewer in this process; `answer` is what it reads when it asks.
int viewer(const std::vector<std::string>& args, std::string& output,
           const std::string& answer = "") {
    std::vector<const char*> argv = {"lumenaview"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    std::istringstream in(answer);
    const int code =
        lumenaview::runLumenaview(static_cast<int>(argv.size()), argv.data(), out, err, false, in);
    output = out.str() + err.str();
    return code;
}

// Evaluates one message on `node` on a thread of its own.
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
        plugin.reset();
        // A killed process leaves its handles: the mutexes' objects stay (none
        // taken); the segment went with the last process attached.
        EXPECT_TRUE(zovtest::sysvObjects("shm").empty()) << "the segment was not removed";
        for (const zovtest::SysvObject& set : zovtest::sysvObjects("sem"))
            EXPECT_EQ(zovtest::semaphoreValue(set.id), 1) << "a mutex is left taken";
        zovtest::removeLeftovers();
    }

    std::unique_ptr<standin::Node> node(const std::string& group, const std::string& label) {
        auto made = plugin->createNode({kBroker, group, "F", label});
        made->setDownstream([](const standin::Delivery&) {});
        made->setAttribute("label", label);
        made->setAttribute("type", "input");
        return made;
    }

    std::unique_ptr<standin::Plugin> plugin;
};

// Survivors S1 and S2 keep sending while the group process of V is killed at
// a random message; then V's group starts again and rejoins.
TEST_F(CrashTest, KillBetweenMessagesLosesNoUpdateAndARestartedGroupRejoins) {
    constexpr int kRound = 2000;
    constexpr int kCycles = 3;
    std::mt19937 random(static_cast<unsigned>(std::time(nullptr)));
    std::uniform_int_distribution<int> killAt(1, kRound - 1);
    GroupProcess s1("EG1", "S1"), s2("EG2", "S2");
    ASSERT_TRUE(s1.ready() && s2.ready());
    auto victim = std::make_unique<GroupProcess>("EGV", "V");
    ASSERT_TRUE(victim->ready());

    // What the area must hold: every message since the last join's reset.
    std::map<std::string, double> expected = {{"S1", 0}, {"S2", 0}, {"V", 0}};
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const int k = killAt(random);
        s1.startSending(kRound);
        s2.startSending(kRound);
        ASSERT_TRUE(victim->stopAfter(k));
        victim->kill9();
        ASSERT_TRUE(s1.finished() && s2.finished());
        expected["S1"] += kRound;
        expected["S2"] += kRound;
        expected["V"] += k;
        EXPECT_EQ(readCounts().messages, expected) << "cycle " << cycle << ", V killed after " << k;

        // Started again: the join finds V's node and resets every statistic.
        victim = std::make_unique<GroupProcess>("EGV", "V");
        ASSERT_TRUE(victim->ready());
        expected = {{"S1", 0}, {"S2", 0}, {"V", 0}};
        zovtest::AreaCounts counts = readCounts();
        EXPECT_EQ(counts.records["V"], 1) << "V joined as a second node";
        EXPECT_EQ(counts.messages, expected);
        ASSERT_TRUE(s1.send(kRound) && s2.send(kRound) && victim->send(kRound));
        for (auto& [label, count] : expected)
            count += kRound;
        EXPECT_EQ(readCounts().messages, expected) << "cycle " << cycle;
    }

    // Killed and started again while the others are sending: the join's reset
    // falls among their messages; afterwards every message counts again.
    s1.startSending(kRound);
    s2.startSending(kRound);
    ASSERT_TRUE(victim->stopAfter(killAt(random)));
    victim->kill9();
    victim = std::make_unique<GroupProcess>("EGV", "V");
    ASSERT_TRUE(victim->ready());
    ASSERT_TRUE(s1.finished() && s2.finished());
    const zovtest::AreaCounts before = readCounts();
    EXPECT_LE(before.messages.at("S1"), kRound);
    ASSERT_TRUE(s1.send(kRound) && s2.send(kRound) && victim->send(kRound));
    const zovtest::AreaCounts after = readCounts();
    for (const char* label : {"S1", "S2", "V"}) {
        EXPECT_EQ(after.messages.at(label) - before.messages.at(label), kRound) << label;
        EXPECT_EQ(after.records.at(label), 1) << label;
    }
    EXPECT_EQ(s1.quit(), 0);
    EXPECT_EQ(s2.quit(), 0);
    EXPECT_EQ(victim->quit(), 0);
}

// A kill holding a lock leaves it taken. A record's mutex: that node's
// updates wait in every process, and so does every join, whose reset takes
// each record's mutex. The area lock: joins wait, updates go on. The viewer
// names the stale lock and its dead holder and frees it on request.
void killHoldingALock(CrashTest& test, bool recordMutex) {
    auto w = test.node("EG1", "W"), v = test.node("EGV", "V");
    const pid_t holder = zovtest::forkChild([recordMutex] {
        auto child = zovtest::loadPlugin();
        auto victim = child->createNode({kBroker, "EGV", "F", "V"});
        victim->setAttribute("label", "V");
        victim->setAttribute("type", "input");
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
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the holder did not take the lock";

    const auto otherUpdate = evaluation(*w), sameUpdate = evaluation(*v);
    EXPECT_TRUE(doneWithin(otherUpdate, 5)) << "another node's update waited";
    EXPECT_EQ(doneWithin(sameUpdate, recordMutex ? 1 : 5), !recordMutex);
    auto late = test.plugin->createNode({kBroker, "EG2", "F", "J"});
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
            EXPECT_EQ(viewer({"--release-stale", lock.keyFile, "--yes"}, shown),
                      lumenaview::kExitPartial);
    }
    ASSERT_NE(stale, nullptr) << shown;
    EXPECT_EQ(stale->kind, recordMutex ? "record" : "statistics area");
    EXPECT_EQ(stale->lastPid, holder);
    EXPECT_GE(stale->waiting, 1) << "the stalled join waits on it";
    EXPECT_EQ(viewer({"--release-stale", stale->keyFile}, shown, "n\n"), lumenaview::kExitPartial);
    EXPECT_FALSE(doneWithin(joined, 0.1)) << "released though declined";
    EXPECT_EQ(viewer({"--release-stale", stale->keyFile}, shown, "y\n"), lumenaview::kExitOk)
        << shown;
    EXPECT_TRUE(doneWithin(joined, 10)) << "the join stayed stalled after the release";
    EXPECT_TRUE(doneWithin(sameUpdate, 5)) << "the update stayed stalled after the release";
    EXPECT_EQ(viewer({"--locks"}, shown), lumenaview::kExitOk) << shown;
    EXPECT_EQ(readCounts().records["J"], 1);
}

TEST_F(CrashTest, KilledHoldingARecordMutexStallsThatNodeAndJoinsUntilReleased) {
    killHoldingALock(*this, true);
}

TEST_F(CrashTest, KilledHoldingTheAreaLockStallsJoinsNotUpdates) {
    killHoldingALock(*this, false);
}

}  // namespace
