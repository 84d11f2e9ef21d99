// The put date and time are read field by field without sscanf on the
// per-message path; the reading must agree with "%4d%2d%2d" and "%2d%2d%2d%2d"
// on any text: white space before a field, signs, letters, short and cut fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "support/plugin_env.h"

namespace {

const ZOV_Time_Of_Day fixedNow = {1042626031, 250000};  // 2003-01-15 10:20:31.250 UTC
ZOV_Time_Of_Day fixedClock() {
    return fixedNow;
}

// The queued time as it was computed with sscanf: the reference.
double withSscanf(const char* putDate, const char* putTime) {
    char date[9] = {}, time[9] = {};
    std::strncpy(date, putDate, 8);
    std::strncpy(time, putTime, 8);
    int year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0, hundredths = 0;
    long long put = 0;
    if (std::sscanf(date, "%4d%2d%2d", &year, &month, &day) != 3 ||
        std::sscanf(time, "%2d%2d%2d%2d", &hours, &minutes, &seconds, &hundredths) != 4 ||
        hundredths < 0 || hundredths > 99 ||
        !ZOV_UtcSeconds(year, month, day, hours, minutes, seconds, put)) {
        return 0.0;
    }
    return static_cast<double>(fixedNow.seconds - put) +
           static_cast<double>(fixedNow.microseconds / 1000 - 10L * hundredths) / 1000.0;
}

class QueuedTimeScan : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        plugin = zovtest::loadPlugin();
        ASSERT_TRUE(standin::writeBrokerRegistry("SCANBRK", "scan-uuid"));
        node = plugin->createNode({"SCANBRK", "group", "flow", "node"});
        context = zovtest::contextOf(*node);
        ASSERT_NE(context, nullptr);
    }

    // Compares one pair, as texts and where a descriptor holds them (read
    // there a word at a time); the texts are 8 characters, possibly with a 0
    // inside.
    void expectSame(const std::string& date, const std::string& time) {
        const double reference = withSscanf(date.c_str(), time.c_str());
        ASSERT_EQ(context->getQueuedTime(date.c_str(), time.c_str(), fixedClock), reference)
            << "date <" << date << "> time <" << time << ">";
        unsigned char stream[320] = {};
        std::memcpy(stream + 304, date.data(), 8);
        std::memcpy(stream + 312, time.data(), 8);
        ASSERT_EQ(context->getQueuedTime(stream, 320, fixedClock), reference)
            << "descriptor date <" << date << "> time <" << time << ">";
        ASSERT_EQ(context->getQueuedTime(stream, 319, fixedClock), 0.0);
        if (reference != 0.0)
            ++parsed;
    }

    std::unique_ptr<standin::Plugin> plugin;
    std::unique_ptr<standin::Node> node;
    ZOV_Node_Context* context = nullptr;
    long parsed = 0;
};

// Characters that change how a field reads: digits, the characters either
// side of them, the white space sscanf skips, signs, letters, a character
// with the high bit set, and the end.
const char kAlphabet[] = "0123456789 \t\n\v\f\r+-x.:/\xA0";

// Three sources of texts: dates and times of a queue manager with one to
// three characters changed (most still read, so values are compared, not
// just failures); every time over signs, blanks and digits; random texts.
TEST_F(QueuedTimeScan, EveryTextReadsAsSscanfReadsIt) {
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

    std::uniform_int_distribution<size_t> printable(0, sizeof kAlphabet - 2);
    std::string date(8, ' ');
    for (int i = 0; i < 100000; ++i) {
        for (int k = 0; k < 8; ++k)
            date[k] = kAlphabet[printable(random)], time[k] = kAlphabet[printable(random)];
        expectSame(date, time);
    }
}

}  // namespace
