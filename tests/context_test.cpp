// The node context: terminals, names and UUID at creation, failures while
// creating, pass-through without a monitoring node, exceptions handed back to
// the broker, the queued time, and bit streams of every length.
#include <gtest/gtest.h>

#include <ctime>
#include <random>

#include "support/plugin_env.h"
#include "zov/zovcstir.h"

namespace {

using standin::Message;
using standin::MessageSpec;

class ContextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        std::filesystem::remove_all("/var/wmqi");
        std::filesystem::remove_all("/var/mqsi");
        plugin = zovtest::loadPlugin();
        ASSERT_TRUE(plugin->ok());
    }
    void TearDown() override { standin::setNameLengthCountsTerminator(false); }

    std::unique_ptr<standin::Node> create(const std::string& broker, const std::string& uuid) {
        EXPECT_TRUE(standin::writeBrokerRegistry(broker, uuid));
        return plugin->createNode({broker, "group", "flow", "node"});
    }

    standin::LogSink log;
    std::unique_ptr<standin::Plugin> plugin;
};

TEST_F(ContextTest, CreatesTerminalsInAndOutAndLearnsItsNames) {
    auto node = create("CTXBRK", "ctx-uuid-1");
    ZOV_Node_Context* context = zovtest::contextOf(*node);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->status, 0);
    EXPECT_TRUE(node->hasTerminal("in", false));
    EXPECT_TRUE(node->hasTerminal("out", true));
    EXPECT_FALSE(node->hasTerminal("out", false));
    EXPECT_TRUE(context->getBrokerId().getLabel() == "CTXBRK");
    EXPECT_TRUE(context->getBrokerId().getUuid() == "ctx-uuid-1");
    EXPECT_TRUE(context->getExecutionGroupId().getLabel() == "group");
    EXPECT_TRUE(context->getMessageFlowId().getLabel() == "flow");
    EXPECT_TRUE(context->getExecutionGroupId().getUuid().isEmpty());
    EXPECT_NE(context->getMonitoringNode(), nullptr);
}

TEST_F(ContextTest, NamesSurviveEitherLengthConventionAndLongNames) {
    const std::string longFlow(300, 'f');
    for (bool countsTerminator : {false, true}) {
        standin::setNameLengthCountsTerminator(countsTerminator);
        ASSERT_TRUE(standin::writeBrokerRegistry("B", "u"));
        auto node = plugin->createNode({"B", "eg\xE9", longFlow, "n"});
        ZOV_Node_Context* context = zovtest::contextOf(*node);
        EXPECT_TRUE(context->getBrokerId().getLabel() == "B") << countsTerminator;
        // The broker's character U+00E9 narrows to the byte E9.
        ZOV_String group = context->getExecutionGroupId().getLabel();
        EXPECT_STREQ(group.getcValue(), "eg\xE9");
        EXPECT_TRUE(context->getMessageFlowId().getLabel() == longFlow.c_str());
    }
}

TEST_F(ContextTest, UuidComesFromTheFirstRegistryThatHasIt) {
    ASSERT_TRUE(standin::writeBrokerRegistry("REG", "second-uuid", "/var/mqsi/registry/"));
    auto onlySecond = plugin->createNode({"REG", "g", "f", "n"});
    EXPECT_TRUE(zovtest::contextOf(*onlySecond)->getBrokerId().getUuid() == "second-uuid");
    onlySecond.reset();

    ASSERT_TRUE(standin::writeBrokerRegistry("REG", "first-uuid", "/var/wmqi/registry/"));
    auto both = plugin->createNode({"REG", "g", "f", "n"});
    EXPECT_TRUE(zovtest::contextOf(*both)->getBrokerId().getUuid() == "first-uuid");
    both.reset();

    auto neither = plugin->createNode({"NOREG", "g", "f", "n"});
    EXPECT_TRUE(zovtest::contextOf(*neither)->getBrokerId().getUuid().isEmpty());
    EXPECT_TRUE(zovtest::contextOf(*neither)->getBrokerId().getLabel() == "NOREG");
}

TEST_F(ContextTest, FailedInputTerminalIsReportedAndNothingMoreIsMade) {
    const long outputsBefore = standin::callCount(standin::Call::CreateOutputTerminal);
    std::unique_ptr<standin::Node> node;
    {
        standin::ScopedFailure failure("cniCreateInputTerminal", 8);
        node = create("FAILBRK", "fail-uuid");
    }
    ZOV_Node_Context* context = zovtest::contextOf(*node);
    ASSERT_NE(context, nullptr);  // handed out all the same
    EXPECT_EQ(context->status, ZOV_STATUS_FAILED);
    EXPECT_EQ(context->getMonitoringNode(), nullptr);
    EXPECT_EQ(standin::callCount(standin::Call::CreateOutputTerminal), outputsBefore);

    const auto messages = log.withNumber(2);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              "Function cniCreateInputTerminal failed in ZOV_Node_Context::ZOV_Node_Context. "
              "Error 8..");
    EXPECT_EQ(messages[0].inserts,
              (std::vector<std::string>{"cniCreateInputTerminal",
                                        "ZOV_Node_Context::ZOV_Node_Context", "Error 8."}));
    EXPECT_EQ(messages[0].file, "zovpcont");

    // Without an output terminal a message goes nowhere, and nothing breaks.
    node->setDownstream([](const standin::Delivery&) {});
    auto message = Message::fromSpec(MessageSpec{});
    EXPECT_EQ(node->evaluate(&message).propagations, 0);
}

TEST_F(ContextTest, FailedOutputTerminalLeavesAFailedContext) {
    standin::ScopedFailure failure("cniCreateOutputTerminal", 5);
    auto node = create("FAILBRK", "fail-uuid");
    EXPECT_EQ(zovtest::contextOf(*node)->status, ZOV_STATUS_FAILED);
    EXPECT_TRUE(node->hasTerminal("in", false));
    const auto messages = log.withNumber(2);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].inserts.at(0), "cniCreateOutputTerminal");
    EXPECT_EQ(messages[0].inserts.at(2), "Error 5.");
}

// A UUID that cannot name a key file under /tmp: the broker's segment cannot
// be made, so the context keeps both terminals but has no monitoring node.
TEST_F(ContextTest, PassThroughWithoutMonitoringNode) {
    auto node = create("NOSHM", "no/such/dir");
    ZOV_Node_Context* context = zovtest::contextOf(*node);
    EXPECT_EQ(context->status, ZOV_STATUS_FAILED);
    EXPECT_EQ(context->getMonitoringNode(), nullptr);

    int seen = 0;
    node->setDownstream([&](const standin::Delivery& delivery) {
        ++seen;
        EXPECT_EQ(delivery.terminal, context->getOutputTerminal());
    });
    auto message = Message::fromSpec(MessageSpec{});
    standin::EvaluateResult result = node->evaluate(&message);
    EXPECT_EQ(result.propagations, 1);
    EXPECT_TRUE(result.listsAsReceived);
    EXPECT_FALSE(result.rethrown);
    EXPECT_EQ(node->evaluate(nullptr).propagations, 1);
    EXPECT_EQ(seen, 2);
}

TEST_F(ContextTest, DownstreamExceptionGoesBackToTheBrokerWithOrWithoutMonitoring) {
    auto bare = create("NOSHM", "no/such/dir");
    ASSERT_EQ(zovtest::monitorOf(*bare), nullptr);
    bare->setDownstream(standin::throwing("Compute1", "evaluating", "division by zero"));
    auto message = Message::fromSpec(MessageSpec{});
    standin::EvaluateResult result = bare->evaluate(&message);
    EXPECT_TRUE(result.rethrown);
    EXPECT_EQ(result.exception.text, "division by zero");

    auto monitored = create("EXCBRK", "exc-uuid");
    ASSERT_NE(zovtest::monitorOf(*monitored), nullptr);
    monitored->setAttribute("label", "Thrower");
    monitored->setAttribute("type", "output");
    monitored->setDownstream(standin::throwing("Compute2", "mapping", "bad field"));
    result = monitored->evaluate(&message);
    EXPECT_TRUE(result.rethrown);
    EXPECT_EQ(result.exception.where, "Compute2");
    // The message was counted before the exception went back.
    const ZOV_STIR* stats = zovtest::monitorOf(*monitored)->getStatisticsRecord();
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 1.0);
}

// ---------------------------------------------------------------------------
// Queued time.

long long epochOf(int year, int month, int day, int hours, int minutes, int seconds) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hours;
    t.tm_min = minutes;
    t.tm_sec = seconds;
    return static_cast<long long>(timegm(&t));
}

ZOV_Time_Of_Day fixedNow;
ZOV_Time_Of_Day fixedClock() {
    return fixedNow;
}

class QueuedTimeTest : public ContextTest {
  protected:
    double queued(const char* date, const char* time) {
        return context->getQueuedTime(date, time, fixedClock);
    }
    void SetUp() override {
        ContextTest::SetUp();
        node = create("QBRK", "q-uuid");
        context = zovtest::contextOf(*node);
        // 2003-01-15 10:20:31.000 UTC
        fixedNow = {epochOf(2003, 1, 15, 10, 20, 31), 0};
    }
    std::unique_ptr<standin::Node> node;
    ZOV_Node_Context* context = nullptr;
};

TEST_F(QueuedTimeTest, ExactFromPutDateAndTime) {
    EXPECT_DOUBLE_EQ(queued("20030115", "10203040"), 0.6);
    fixedNow.microseconds = 200999;  // 200 ms: microseconds are cut, not rounded
    EXPECT_DOUBLE_EQ(queued("20030115", "10203095"), 1.0 + (200 - 950) / 1000.0);
    fixedNow = {epochOf(2003, 1, 16, 0, 0, 0), 0};
    EXPECT_DOUBLE_EQ(queued("20030115", "23595999"), 1.0 + (0 - 990) / 1000.0);
    // Ahead of the clock: negative, not clamped.
    fixedNow = {epochOf(2003, 1, 15, 10, 20, 31), 0};
    EXPECT_DOUBLE_EQ(queued("20030115", "10203200"), -1.0);
    // The put date and time lie directly after one another in a descriptor,
    // unterminated: only 8 characters of each are read.
    const char descriptorFields[] = "2003011510203040XXXX";
    EXPECT_DOUBLE_EQ(queued(descriptorFields, descriptorFields + 8), 0.6);
}

TEST_F(QueuedTimeTest, UnreadableOrImpossibleDatesGiveZero) {
    const char* const dates[] = {"",         "        ", "2003O115", "20031315", "20030132",
                                 "20030229", "19001231", "20030100", "-0030115"};
    for (const char* date : dates)
        EXPECT_EQ(queued(date, "10203040"), 0.0) << date;
    const char* const times[] = {"",         "        ", "24000000", "10600000",
                                 "10206000", "102030",   "1020-540"};
    for (const char* time : times)
        EXPECT_EQ(queued("20030115", time), 0.0) << time;
    EXPECT_EQ(queued(nullptr, "10203040"), 0.0);
    EXPECT_EQ(queued("20030115", nullptr), 0.0);
    // Leap days that exist, and the first year accepted.
    EXPECT_NE(queued("20040229", "10203040"), 0.0);
    EXPECT_NE(queued("20000229", "10203040"), 0.0);
    EXPECT_NE(queued("19010101", "00000000"), 0.0);
}

TEST(UtcSeconds, AgreesWithTheSystemConversion) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> year(1901, 2199), month(1, 12), day(1, 31), hour(0, 23),
        minute(0, 59);
    int compared = 0;
    for (int i = 0; i < 20000; ++i) {
        const int y = year(random), mo = month(random), d = day(random), h = hour(random),
                  mi = minute(random), s = minute(random);
        long long ours = 0;
        const bool valid = ZOV_UtcSeconds(y, mo, d, h, mi, s, ours);
        std::tm t{};
        t.tm_year = y - 1900;
        t.tm_mon = mo - 1;
        t.tm_mday = d;
        t.tm_hour = h;
        t.tm_min = mi;
        t.tm_sec = s;
        const long long system = static_cast<long long>(timegm(&t));
        // timegm normalises day 31 of a short month into the next month.
        const bool systemValid = t.tm_mday == d;
        ASSERT_EQ(valid, systemValid) << y << "-" << mo << "-" << d;
        if (valid) {
            ASSERT_EQ(ours, system) << y << "-" << mo << "-" << d;
            ++compared;
        }
    }
    EXPECT_GT(compared, 15000);
    long long unused = 0;
    EXPECT_FALSE(ZOV_UtcSeconds(1900, 12, 31, 23, 59, 59, unused));
    EXPECT_FALSE(ZOV_UtcSeconds(2003, 2, 29, 0, 0, 0, unused));
}

// ---------------------------------------------------------------------------
// Bit streams. Run under AddressSanitizer too: nothing beyond a short stream
// may be read.

TEST_F(ContextTest, NullShortAndAbsentBitStreams) {
    auto node = create("STRBRK", "stream-uuid");
    node->setAttribute("label", "Streams");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "every message");
    ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*node);
    ASSERT_EQ(monitor->isInitialized(), 1);
    const ZOV_STIR* stats = monitor->getStatisticsRecord();
    ASSERT_NE(stats, nullptr);
    node->setDownstream([](const standin::Delivery&) {});

    MessageSpec spec;
    spec.putSecondsAgo(30);
    long long totalSize = 0;
    int messages = 0;
    // Every stream that ends before the put time does: the put date or time
    // is cut (or missing), so no queued time.
    for (size_t size : {0, 1, 100, 303, 304, 308, 311, 312, 316, 319}) {
        spec.totalSize = size;
        // An empty stream is built directly: the harness's builder copies
        // from a null buffer for it.
        auto message = size == 0 ? Message::fromBytes({}) : Message::fromSpec(spec);
        ASSERT_EQ(message.stream().size(), size);
        EXPECT_EQ(node->evaluate(&message).propagations, 1);
        totalSize += static_cast<long long>(size);
        ++messages;
    }
    EXPECT_EQ(stats->getMaxQueued(), 0) << "a cut descriptor gave a queued time";

    auto noStream = Message::withoutStream();
    EXPECT_EQ(node->evaluate(&noStream).propagations, 1);
    EXPECT_EQ(node->evaluate(nullptr).propagations, 1);
    messages += 2;
    EXPECT_EQ(stats->getMaxQueued(), 0);

    // A stream that holds both put fields whole is measured even when the
    // descriptor is not complete.
    spec.totalSize = 320;
    auto putFieldsWhole = Message::fromSpec(spec);
    node->evaluate(&putFieldsWhole);
    EXPECT_GE(stats->getMaxQueued(), 29000);

    spec.totalSize = 364;
    auto whole = Message::fromSpec(spec);
    node->evaluate(&whole);
    spec.totalSize = 4000;
    auto large = Message::fromSpec(spec);
    node->evaluate(&large);
    totalSize += 320 + 364 + 4000;
    messages += 3;
    EXPECT_GE(stats->getMaxQueued(), 29000);
    EXPECT_LT(stats->getMaxQueued(), 40000);
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), messages);
    EXPECT_EQ(static_cast<double>(stats->getSumSize()), static_cast<double>(totalSize));
    EXPECT_EQ(stats->getMaxSize(), 4000);
}

}  // namespace
