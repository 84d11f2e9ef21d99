// The node context (failed set-ups and attribute results are lines of the
// transcript). Run under AddressSanitizer too: nothing beyond a short bit
// stream may be read.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "support/plugin_env.h"
#include "zov/core/zovcstir.h"

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
    EXPECT_TRUE(node->hasTerminal("in", false) && node->hasTerminal("out", true));
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

TEST_F(ContextTest, StreamsOfEveryLength) {
    auto node = create("STR", "stream-uuid");
    node->setAttribute("label", "Streams");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "every message");
    const ZOV_STIR* stats = zovtest::monitorOf(*node)->getStatisticsRecord();
    ASSERT_NE(stats, nullptr);
    MessageSpec recipe;
    recipe.putSecondsAgo(30);
    double totalSize = 0;
    auto noStream = Message::withoutStream();
    node->evaluate(&noStream);
    node->evaluate(nullptr);
    // A stream that ends before the put time does has no queued time; from 320
    // bytes on both put fields are whole. (The harness's builder copies from a
    // null buffer for an empty stream.)
    for (size_t size : {0, 1, 303, 304, 311, 312, 316, 319, 320, 364, 4000}) {
        recipe.totalSize = size;
        auto message = size == 0 ? Message::fromBytes({}) : Message::fromSpec(recipe);
        EXPECT_TRUE(node->evaluate(&message).listsAsReceived);
        totalSize += static_cast<double>(size);
        if (size < 320)
            EXPECT_EQ(stats->getMaxQueued(), 0) << size;
        else
            EXPECT_GE(stats->getMaxQueued(), 29000) << size;
    }
    EXPECT_EQ(static_cast<double>(stats->getSumSize()), totalSize);
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 13.0);
}

TEST(UtcSeconds, AgreesWithTheSystemConversion) {
    for (int year = 1901; year < 2200; year += 7) {
        for (int month = 1; month <= 12; ++month) {
            for (int day : {1, 28, 29, 30, 31}) {
                std::tm t{};
                t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
                t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 58;
                const long long system = static_cast<long long>(timegm(&t));
                long long ours = -1;
                const bool valid = ZOV_UtcSeconds(year, month, day, 23, 59, 58, ours);
                ASSERT_EQ(valid, t.tm_mday == day) << year << "-" << month << "-" << day;
                ASSERT_EQ(valid ? ours : system, system) << year << "-" << month << "-" << day;
            }
        }
    }
}

// 2003-01-15 10:20:31.250999 UTC: microseconds are cut to milliseconds.
ZOV_Time_Of_Day fixedClock() {
    return {1042626031, 250999};
}

TEST_F(ContextTest, QueuedTimeFromPutDateAndTime) {
    auto node = create("Q", "q-uuid");
    auto queued = [&](const char* date, const char* time) {
        return zovtest::contextOf(*node)->getQueuedTime(date, time, fixedClock);
    };
    EXPECT_DOUBLE_EQ(queued("20030115", "10203040"), 0.85);
    const char fields[] = "2003011510203040XXXX";  // unterminated, as in a descriptor
    EXPECT_DOUBLE_EQ(queued(fields, fields + 8), 0.85);
    EXPECT_DOUBLE_EQ(queued("20030115", "10203195"), -0.7);  // ahead: not clamped
    for (const char* date : {"20040229", "20000229", "19010101"})
        EXPECT_NE(queued(date, "00000000"), 0.0) << date;
    for (const char* date : {"", "        ", "2003O115", "20031315", "20030132", "20030229",
                             "21000229", "19001231", "20030100", "-0030115"}) {
        EXPECT_EQ(queued(date, "10203040"), 0.0) << date;
    }
    for (const char* time : {"", "24000000", "10600000", "10206000", "102030", "1020-540"})
        EXPECT_EQ(queued("20030115", time), 0.0) << time;
    EXPECT_EQ(queued(nullptr, "10203040"), 0.0);
}

// The queued time as it was computed with sscanf: the reference.
double withSscanf(const std::string& putDate, const std::string& putTime) {
    int year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0, hundredths = 0;
    long long put = 0;
    if (std::sscanf(putDate.c_str(), "%4d%2d%2d", &year, &month, &day) != 3 ||
        std::sscanf(putTime.c_str(), "%2d%2d%2d%2d", &hours, &minutes, &seconds, &hundredths) !=
            4 ||
        hundredths < 0 || hundredths > 99 ||
        !ZOV_UtcSeconds(year, month, day, hours, minutes, seconds, put)) {
        return 0.0;
    }
    const ZOV_Time_Of_Day now = fixedClock();
    return static_cast<double>(now.seconds - put) +
           static_cast<double>(now.microseconds / 1000 - 10L * hundredths) / 1000.0;
}

// Digits, characters either side of them, the white space sscanf skips,
// signs, letters, a character with the high bit set, and the end.
const char kAlphabet[] = "0123456789 \t\n\v\f\r+-x.:/\xA0";

// The per-message path reads the put fields without sscanf, as texts and in a
// descriptor (a word at a time). Inputs: real dates and times with one to
// three characters changed (most still read, so values are compared), and
// every time over signs, blanks and digits.
TEST_F(ContextTest, QueuedTimeFieldReaderReadsAsSscanfDoes) {
    auto node = create("SCANBRK", "scan-uuid");
    const ZOV_Node_Context* context = zovtest::contextOf(*node);
    long parsed = 0;
    auto expectSame = [&](const std::string& date, const std::string& time) {
        const double reference = withSscanf(date, time);
        ASSERT_EQ(context->getQueuedTime(date.c_str(), time.c_str(), fixedClock), reference)
            << "date <" << date << "> time <" << time << ">";
        unsigned char stream[320] = {};
        std::memcpy(stream + 304, date.data(), 8);
        std::memcpy(stream + 312, time.data(), 8);
        ASSERT_EQ(context->getQueuedTime(stream, 320, fixedClock), reference)
            << "descriptor date <" << date << "> time <" << time << ">";
        ASSERT_EQ(context->getQueuedTime(stream, 319, fixedClock), 0.0);
        parsed += reference != 0.0 ? 1 : 0;
    };
    std::mt19937 random(20030115);
    std::uniform_int_distribution<size_t> position(0, 7), character(0, sizeof kAlphabet - 1);
    auto mutated = [&](std::string text) {
        for (int i = 1 + random() % 3; i > 0; --i)
            text[position(random)] = kAlphabet[character(random)];  // may be the 0
        return text;
    };
    for (int i = 0; i < 100000; ++i) {
        expectSame(mutated("20030115"), "10203040");
        expectSame("20030115", mutated("10203040"));
    }
    EXPECT_GT(parsed, 20000);

    const char signsAndDigits[] = {'1', '0', ' ', '-', '+'};
    std::string time(8, ' ');
    for (int code = 0; code < 390625; ++code) {  // 5^8
        for (int rest = code, i = 0; i < 8; ++i, rest /= 5)
            time[i] = signsAndDigits[rest % 5];
        expectSame("20030115", time);
    }
}

// The untraced per-message path (eight digits each: a cached day number and
// word arithmetic) against the general field reader (tracing on) and the
// reference, on a fresh node first: a cache that starts out matching a date
// gives "00000000" a day. Then hostile fields crossed, and random digits.
TEST_F(ContextTest, FastPathEqualsTheGeneralPathForEveryEightDigitInput) {
    auto node = create("DIFFBRK", "diff-uuid");
    const ZOV_Node_Context* context = zovtest::contextOf(*node);
    auto general = [&](const char* date, const char* time) {
        bZOVTracing = 1;
        const double result = context->getQueuedTime(date, time, fixedClock);
        bZOVTracing = 0;
        return result;
    };
    EXPECT_EQ(context->getQueuedTime("00000000", "00000000", fixedClock), 0.0);
    EXPECT_EQ(general("00000000", "00000000"), 0.0);
    const char* const dates[] = {"00000000", "19001231", "19010101", "20000229", "21000229",
                                 "20030229", "20040229", "20031301", "20030001", "20030132",
                                 "20030100", "99991231", "99999999", "20030115", "00000000"};
    const char* const times[] = {"00000000", "23595999", "24000000", "00600000",
                                 "00006000", "99999999", "10203040", "00000099"};
    for (const char* date : dates) {
        for (const char* time : times) {
            const double fast = context->getQueuedTime(date, time, fixedClock);
            ASSERT_EQ(fast, general(date, time)) << date << " " << time;
            ASSERT_EQ(fast, withSscanf(date, time)) << date << " " << time;
        }
    }
    std::mt19937_64 random(19010101);
    char fields[2][9] = {};  // date, time: eight random digits each
    for (int i = 0; i < 300000; ++i) {
        for (char* field : fields) {
            uint64_t bits = random();
            for (int k = 0; k < 8; ++k, bits /= 10)
                field[k] = static_cast<char>('0' + bits % 10);
        }
        if (i % 2 == 0)  // half of them in 1900-2099, so that many dates read
            std::memcpy(fields[0], i % 4 == 0 ? "19" : "20", 2);
        ASSERT_EQ(context->getQueuedTime(fields[0], fields[1], fixedClock),
                  withSscanf(fields[0], fields[1]))
            << fields[0] << " " << fields[1];
    }
}

// Results and defaults are in the transcript.
TEST_F(ContextTest, AttributesForwardedAndCopiedIntoBuffersOfEveryLength) {
    auto node = create("ATTRBRK", "attr-uuid");
    EXPECT_TRUE(node->getAttribute("eventMessage").terminated);  // the empty default
    const std::pair<const char*, const char*> sets[] = {
        {"label", "Monitor1"}, {"colour", "blue"},         {"type", "input"},
        {"type", "output"},    {"collectQueueTime", "no"}, {"eventMessage", "abcdef"}};
    for (const auto& [name, value] : sets)
        node->setAttribute(name, value);
    EXPECT_EQ(zovtest::contextOf(*node)->getAttributes().entries(), 6);  // every set is kept
    ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*node);
    EXPECT_EQ(monitor->getConfiguredNodeType(), ZOV_NT_OUTPUT);  // the latest was forwarded

    EXPECT_EQ(node->getAttribute("label").value, "");  // nothing copied for an unknown name
    auto cut = node->getAttribute("eventMessage", 6);
    EXPECT_EQ(cut.value, "abcdef");
    EXPECT_FALSE(cut.terminated || cut.overrun);
    EXPECT_EQ(node->getAttribute("eventMessage", -5).result, 0);
    const ZOV_String type("type");
    EXPECT_EQ(plugin->functions()->getAttribute(node->context(), type.getValue(), nullptr, 9), 0);

    EXPECT_EQ(node->attributeNames(),
              (std::vector<std::string>{"type", "eventMessage", "collectQueueTime"}));
    auto name = node->getAttributeName(2, 3);
    EXPECT_EQ(name.value, "col");
    EXPECT_FALSE(name.terminated || name.overrun);
    EXPECT_TRUE(node->getAttributeName(0, 5).terminated);
    EXPECT_EQ(plugin->functions()->getAttributeName(node->context(), 0, nullptr, 10), 1);
}

}  // namespace
