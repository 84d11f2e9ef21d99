// The node context: terminals, names and UUID at creation, failures while
// creating, pass-through without a monitoring node, exceptions handed back to
// the broker, the queued time, and bit streams of every length (run under
// AddressSanitizer too: nothing beyond a short stream may be read).
#include <gtest/gtest.h>

#include <ctime>

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
    }
    std::unique_ptr<standin::Node> create(const std::string& broker, const std::string& uuid) {
        EXPECT_TRUE(standin::writeBrokerRegistry(broker, uuid));
        auto node = plugin->createNode({broker, "group", "flow", "node"});
        node->setDownstream([](const standin::Delivery&) {});
        return node;
    }
    standin::LogSink log;
    std::unique_ptr<standin::Plugin> plugin;
};

TEST_F(ContextTest, TerminalsNamesAndUuid) {
    standin::setNameLengthCountsTerminator(true);  // either convention reads the same
    ASSERT_TRUE(standin::writeBrokerRegistry("CTX", "second-uuid", "/var/mqsi/registry/"));
    auto node = plugin->createNode({"CTX", "eg\xE9", std::string(300, 'f'), "n"});
    standin::setNameLengthCountsTerminator(false);
    ZOV_Node_Context* context = zovtest::contextOf(*node);
    EXPECT_EQ(context->status, 0);
    EXPECT_TRUE(node->hasTerminal("in", false));
    EXPECT_TRUE(node->hasTerminal("out", true));
    EXPECT_TRUE(context->getBrokerId().getLabel() == "CTX");
    EXPECT_TRUE(context->getBrokerId().getUuid() == "second-uuid");
    ZOV_String group = context->getExecutionGroupId().getLabel();
    EXPECT_STREQ(group.getcValue(), "eg\xE9");  // the broker's U+00E9 narrows to E9
    EXPECT_EQ(context->getMessageFlowId().getLabel().getLength(), 300u);
    EXPECT_NE(context->getMonitoringNode(), nullptr);

    // The first directory wins.
    EXPECT_TRUE(zovtest::contextOf(*create("CTX", "first-uuid"))->getBrokerId().getUuid() ==
                "first-uuid");
    auto unregistered = plugin->createNode({"NOREG", "g", "f", "n"});
    EXPECT_TRUE(zovtest::contextOf(*unregistered)->getBrokerId().getUuid().isEmpty());
}

TEST_F(ContextTest, FailedTerminalsAreReportedAndLeaveAFailedContext) {
    const long outputsBefore = standin::callCount(standin::Call::CreateOutputTerminal);
    std::unique_ptr<standin::Node> noInput;
    {
        standin::ScopedFailure failure("cniCreateInputTerminal", 8);
        noInput = create("FAIL", "fail-uuid");
    }
    EXPECT_EQ(zovtest::contextOf(*noInput)->status, ZOV_STATUS_FAILED);
    EXPECT_EQ(zovtest::monitorOf(*noInput), nullptr);
    EXPECT_EQ(standin::callCount(standin::Call::CreateOutputTerminal), outputsBefore);
    auto message = Message::fromSpec(MessageSpec{});
    EXPECT_EQ(noInput->evaluate(&message).propagations, 0);  // nowhere to go, no harm
    {
        standin::ScopedFailure failure("cniCreateOutputTerminal", 5);
        create("FAIL", "fail-uuid");
    }
    const auto messages = log.withNumber(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text,
              "Function cniCreateInputTerminal failed in ZOV_Node_Context::ZOV_Node_Context. "
              "Error 8..");
    EXPECT_EQ(messages[0].inserts,
              (std::vector<std::string>{"cniCreateInputTerminal",
                                        "ZOV_Node_Context::ZOV_Node_Context", "Error 8."}));
    EXPECT_EQ(messages[1].inserts.at(0), "cniCreateOutputTerminal");
    EXPECT_EQ(messages[1].inserts.at(2), "Error 5.");
}

// A UUID that cannot name a key file: the broker's segment cannot be made,
// so the context keeps both terminals but has no monitoring node.
TEST_F(ContextTest, PassThroughAndExceptionsGoingBackToTheBroker) {
    auto bare = create("NOSHM", "no/such/dir");
    EXPECT_EQ(zovtest::contextOf(*bare)->status, ZOV_STATUS_FAILED);
    ASSERT_EQ(zovtest::monitorOf(*bare), nullptr);
    auto message = Message::fromSpec(MessageSpec{});
    auto result = bare->evaluate(&message);
    EXPECT_EQ(result.propagations, 1);
    EXPECT_TRUE(result.listsAsReceived);
    EXPECT_EQ(bare->evaluate(nullptr).propagations, 1);

    bare->setDownstream(standin::throwing("Compute1", "evaluating", "division by zero"));
    result = bare->evaluate(&message);
    EXPECT_TRUE(result.rethrown);
    EXPECT_EQ(result.exception.text, "division by zero");

    auto monitored = create("EXC", "exc-uuid");
    monitored->setAttribute("label", "Thrower");
    monitored->setAttribute("type", "output");
    monitored->setDownstream(standin::throwing("Compute2", "mapping", "bad field"));
    EXPECT_TRUE(monitored->evaluate(&message).rethrown);
    const ZOV_STIR* stats = zovtest::monitorOf(*monitored)->getStatisticsRecord();
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 1.0);  // counted before
}

ZOV_Time_Of_Day fixedNow;
ZOV_Time_Of_Day fixedClock() {
    return fixedNow;
}

TEST_F(ContextTest, QueuedTimeFromPutDateAndTime) {
    auto node = create("Q", "q-uuid");
    auto queued = [&](const char* date, const char* time) {
        return zovtest::contextOf(*node)->getQueuedTime(date, time, fixedClock);
    };
    std::tm t{};
    t.tm_year = 103;
    t.tm_mday = 15;
    t.tm_hour = 10;
    t.tm_min = 20;
    t.tm_sec = 31;
    fixedNow = {static_cast<long long>(timegm(&t)), 0};  // 2003-01-15 10:20:31.000 UTC
    EXPECT_DOUBLE_EQ(queued("20030115", "10203040"), 0.6);
    const char fields[] = "2003011510203040XXXX";  // unterminated, as in a descriptor
    EXPECT_DOUBLE_EQ(queued(fields, fields + 8), 0.6);
    EXPECT_DOUBLE_EQ(queued("20030115", "10203200"), -1.0);  // ahead: not clamped
    fixedNow.microseconds = 200999;                          // cut to 200 ms
    EXPECT_DOUBLE_EQ(queued("20030115", "10203095"), 1.0 + (200 - 950) / 1000.0);
    EXPECT_NE(queued("20040229", "10203040"), 0.0);
    EXPECT_NE(queued("19010101", "00000000"), 0.0);
    for (const char* date : {"", "        ", "2003O115", "20031315", "20030132", "20030229",
                             "19001231", "20030100", "-0030115"}) {
        EXPECT_EQ(queued(date, "10203040"), 0.0) << date;
    }
    for (const char* time : {"", "24000000", "10600000", "10206000", "102030", "1020-540"})
        EXPECT_EQ(queued("20030115", time), 0.0) << time;
    EXPECT_EQ(queued(nullptr, "10203040"), 0.0);
}

TEST_F(ContextTest, NullShortAndAbsentBitStreams) {
    auto node = create("STR", "stream-uuid");
    node->setAttribute("label", "Streams");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "every message");
    const ZOV_STIR* stats = zovtest::monitorOf(*node)->getStatisticsRecord();
    ASSERT_NE(stats, nullptr);
    MessageSpec recipe;
    recipe.putSecondsAgo(30);
    double totalSize = 0;
    // Streams that end before the put time does: no queued time. (An empty
    // stream is built directly: the harness's builder copies from a null
    // buffer for it.)
    for (size_t size : {0, 1, 303, 304, 311, 312, 316, 319}) {
        recipe.totalSize = size;
        auto message = size == 0 ? Message::fromBytes({}) : Message::fromSpec(recipe);
        EXPECT_EQ(node->evaluate(&message).propagations, 1);
        totalSize += static_cast<double>(size);
    }
    auto noStream = Message::withoutStream();
    node->evaluate(&noStream);
    node->evaluate(nullptr);
    EXPECT_EQ(stats->getMaxQueued(), 0);
    for (size_t size : {320, 364, 4000}) {  // both put fields whole
        recipe.totalSize = size;
        auto message = Message::fromSpec(recipe);
        node->evaluate(&message);
        totalSize += static_cast<double>(size);
        EXPECT_GE(stats->getMaxQueued(), 29000) << size;
    }
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 13.0);
    EXPECT_EQ(static_cast<double>(stats->getSumSize()), totalSize);
}

TEST(UtcSeconds, AgreesWithTheSystemConversion) {
    for (int year = 1901; year < 2200; year += 7) {
        for (int month = 1; month <= 12; ++month) {
            for (int day : {1, 28, 29, 30, 31}) {
                std::tm t{};
                t.tm_year = year - 1900;
                t.tm_mon = month - 1;
                t.tm_mday = day;
                t.tm_hour = 23;
                t.tm_min = 59;
                t.tm_sec = 58;
                const long long system = static_cast<long long>(timegm(&t));
                long long ours = 0;
                const bool valid = ZOV_UtcSeconds(year, month, day, 23, 59, 58, ours);
                ASSERT_EQ(valid, t.tm_mday == day) << year << "-" << month << "-" << day;
                if (valid) {
                    ASSERT_EQ(ours, system) << year << "-" << month << "-" << day;
                }
            }
        }
    }
}

}  // namespace
