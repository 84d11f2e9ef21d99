// Statistics record: milliseconds, update, merge, assignment, the maximum, the
// 200-byte image, the print lines, and the whole-number binary128 sums (zovcquad.h).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/record_images.h"
#include "zov/zovcquad.h"
#include "zov/zovcstir.h"

using namespace zovtest;

namespace {

constexpr unsigned __int128 kTwoTo64 = static_cast<unsigned __int128>(1) << 64;

struct Values {
    unsigned __int128 count = 0, sumSize = 0;
    int32_t maxSize = 0, minSize = 0;
    unsigned __int128 sumElapsed = 0;
    int32_t maxElapsed = 0, minElapsed = 0;
    unsigned __int128 sumQueued = 0;
    int32_t maxQueued = 0, minQueued = 0;
    uint32_t first = 0, last = 0;
};

ImageBuilder image(const ZOV_Record& headerOf, const Values& v) {
    ImageBuilder b;
    b.header(headerOf).binary128(v.count).binary128(v.sumSize).i32(v.maxSize).i32(v.minSize);
    b.binary128(v.sumElapsed).i32(v.maxElapsed).i32(v.minElapsed);
    b.binary128(v.sumQueued).i32(v.maxQueued).i32(v.minQueued).u32(v.first).u32(v.last);
    return b;
}

void load(ZOV_STIR& record, const Values& v) {
    ImageBuilder b = image(record, v);
    ASSERT_EQ(record.get(b.raw()), b.raw() + 200);
}

bool sameBytes(__float128 a, __float128 b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(Statistics, MillisecondsTruncateAndClamp) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const double seconds[] = {0.0015, 0.0009, 1.9999, -0.5,        -inf,
                              nan,    inf,    1e12,   2147483.647, 2147483.6469};
    const int32_t ms[] = {1,          0,          1999,       0,          0,
                          2147483647, 2147483647, 2147483647, 2147483647, 2147483646};
    for (size_t i = 0; i < std::size(ms); ++i)
        EXPECT_EQ(ZOV_STIR::toMilliseconds(seconds[i]), ms[i]) << seconds[i];
}

// One update of each kind of stored record through the object (get, update, put)
// and in place (updateImage: same bytes, header untouched, no allocation). kNow
// stands for the clock's second at the update; a case straddling a second is redone.
constexpr uint32_t kNow = 1;
struct UpdateCase {
    Values start;
    struct {
        double queued, elapsed;
        int32_t size;
    } message;
    Values expected;
    ZOV_ReturnCode rc = ZOV_RC_OK;
};

TEST(Statistics, UpdateFromEveryKindOfStoredRecord) {
    const unsigned __int128 big = kTwoTo64;
    const Values atMax{2147483647, 5000, 100, 2, 70, 9, 1, 30, 4, 0, 1000, 2000};
    const UpdateCase cases[] = {
        // After a reset: the message sets every extreme and both times.
        {{}, {0.25, 0.0015, 300}, {1, 300, 300, 300, 1, 1, 1, 250, 250, 250, kNow, kNow}},
        // Extremes compare signed; a queued time of 0 is a sample.
        {{1, 300, 300, 300, 1, 1, 1, 250, 250, 250, 7, 8},
         {0.0, 0.005, -5},
         {2, 295, 300, -5, 6, 5, 1, 250, 250, 0, 7, kNow}},
        // The last message before the maximum counts; at the maximum nothing.
        {{2147483646, 5000, 100, 2, 70, 9, 1, 30, 4, 0, 1000, 2000},
         {0.001, 0.001, 1},
         {2147483647, 5001, 100, 1, 71, 9, 1, 31, 4, 0, 1000, kNow}},
        {atMax, {0.5, 0.5, 1000}, atMax, ZOV_RC_MAXIMUM},
        // Beyond 2^64 (65 significant bits, which a long double rounds) exact.
        {{1, big, 1, 1, big, 1, 1, big, 1, 1, 5, 5},
         {0.003, 0.001, 1},
         {2, big + 1, 1, 1, big + 1, 1, 1, big + 3, 3, 1, 5, kNow}}};
    for (const UpdateCase& c : cases) {
        for (;;) {
            ZOV_STIR stored(1), record(0);
            load(stored, c.start);
            std::vector<unsigned char> viaObject = imageOf(stored), inPlace = viaObject;
            const uint32_t now = ZOV_SecondsSince1901();
            ASSERT_EQ(record.get(viaObject.data()), viaObject.data() + 200);
            const auto& m = c.message;
            EXPECT_EQ(record.updateStatistics(m.queued, m.elapsed, m.size), c.rc);
            record.put(viaObject.data());
            AllocationScope scope;
            EXPECT_EQ(ZOV_STIR(0).updateImage(inPlace.data(), m.queued, m.elapsed, m.size), c.rc);
            EXPECT_EQ(scope.count(), 0);
            if (ZOV_SecondsSince1901() != now)
                continue;
            Values expected = c.expected;
            for (uint32_t* time : {&expected.first, &expected.last})
                *time = *time == kNow ? now : *time;
            EXPECT_EQ(viaObject, image(stored, expected).data()) << double(c.start.count);
            EXPECT_EQ(inPlace, viaObject) << double(c.start.count);
            break;
        }
    }
}

TEST(Statistics, MergeAndAssignment) {
    const Values source{3, 30, 20, -4, 9, 5, 1, 6, 3, 1, 0x80000005u, 0x80000009u};
    ZOV_STIR from(0), empty(0), filled(0), unset(0);
    load(from, source);

    // Into an empty record: the source's extremes and times.
    empty += from;
    EXPECT_EQ(imageOf(empty), image(empty, source).data());

    // Both collected: signed extremes, unsigned collection times.
    load(filled, Values{1, 4, -1, -7, 2, 2, 2, 8, 8, 8, 7, 9});
    filled += from;
    EXPECT_EQ(imageOf(filled),
              image(filled, Values{4, 34, 20, -7, 11, 5, 1, 14, 8, 1, 7, 0x80000009u}).data());

    // A source without first collection changes nothing, not even the sums.
    load(unset, Values{.count = 50, .sumSize = 5000, .maxSize = 900, .last = 99});
    const std::vector<unsigned char> before = imageOf(filled);
    filled += unset;
    EXPECT_EQ(imageOf(filled), before);

    // Assignment copies header and statistics; from an uncollected source the
    // target ends reset under the source's header.
    ZOV_STIR target(1);
    target = from;
    EXPECT_EQ(imageOf(target), imageOf(from));
    target = unset;
    EXPECT_EQ(imageOf(target), image(unset, Values{}).data());
}

TEST(Statistics, ImageLayoutBoundedReadAndReset) {
    ZOV_STIR fresh(1), parent(1), filled(1);
    const auto blank = [] { return std::make_unique<ZOV_STIR>(0); };
    expectImage(fresh, image(fresh, Values{}), blank);
    filled.setParent(parent.getRecordId());
    const Values values{3, kTwoTo64 + 5, 0x01020304, -2, 123456789,   0x7FFFFFFF,
                        0, 77,           40,         1,  0xFEDCBA98u, 0xFEDCBA99u};
    load(filled, values);
    expectImage(filled, image(filled, values), blank);

    // A limit before the position changes nothing; a reset keeps the header.
    std::vector<unsigned char> bytes = imageOf(filled);
    EXPECT_EQ(fresh.getBounded(bytes.data() + 8, bytes.data()), nullptr);
    EXPECT_EQ(imageOf(fresh), image(fresh, Values{}).data());
    filled.reset();
    EXPECT_EQ(imageOf(filled), image(filled, Values{}).data());
}

// Every field on its own line, whatever the trace switch (the transcript
// shows them only where maximum and minimum are equal).
TEST(Statistics, PrintLines) {
    standin::LogSink log;
    ZOV_STIR record(1);
    load(record, Values{3, kTwoTo64, 300, 100, 12, 7, 2, 45, 20, 10, 0, 0});
    record.print();
    std::vector<std::string> lines;
    for (const standin::LogRecord& line : log.ofFunction("ZOV_STIR::print"))
        lines.push_back(line.text);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "First Collection    : n/a", "Last Collection     : n/a",
                  "Message Count       :            3", "Max Size            :          300",
                  "Min Size            :          100", "Sum Size            : 1.844674407e+19",
                  "Max elapsed time    :            7", "Min elapsed time    :            2",
                  "Sum elapsed time    :           12", "Max queued time     :           20",
                  "Min queued time     :           10", "Sum queued time     :           45"}));
}

// Whole numbers of every magnitude up to just past 2^113, values not whole or not
// finite: addition and comparison give the bytes and answers of binary128.
TEST(WholeBinary128, AdditionAndComparisonAgreeWithBinary128) {
    using Limits = std::numeric_limits<__float128>;
    const __float128 least = Limits::min(), tiny = Limits::denorm_min(), most = Limits::max(),
                     inf = Limits::infinity(), nan = Limits::quiet_NaN();
    std::vector<__float128> sums = {
        0,    1,     2,    2147483646, 2147483647,     2147483648.0Q, 4294967295.0Q,
        -1,   -0.0Q, 0.5Q, 1.5Q,       -2147483648.0Q, least,         tiny,
        most, inf,   -inf, nan};
    __float128 power = 1;
    for (int exponent = 0; exponent <= 116; ++exponent, power *= 2) {
        // 2^64 ends the integer path, 2^113 the exact binary128.
        for (__float128 delta : {-3.0Q, -1.0Q, 0.0Q, 1.0Q, 0.25Q})
            sums.push_back(power + delta);
    }
    std::mt19937_64 random(113);
    for (int i = 0; i < 20000; ++i) {
        using Bits = unsigned __int128;
        sums.push_back(static_cast<__float128>(((static_cast<Bits>(random()) << 64) | random()) >>
                                               (random() % 128)));
    }
    int fast = 0;
    for (const __float128 sum : sums) {
        for (const int32_t addend : {0, 1, 2, 7, 1023, 123456789, 2147483647, -1, -2147483647,
                                     INT32_MIN, static_cast<int32_t>(random())}) {
            __float128 ours = sum, expected = sum;
            ZOV_AddWhole(ours, addend);
            expected += addend;
            ASSERT_TRUE(sameBytes(ours, expected) || (ours != ours && expected != expected))
                << static_cast<long double>(sum) << " + " << addend;
            ASSERT_EQ(ZOV_WholeAtLeast(sum, addend), sum >= static_cast<__float128>(addend))
                << static_cast<long double>(sum) << " >= " << addend;
            uint64_t whole = 0;
            fast += zov_quad::wholeOf(sum, whole) ? 1 : 0;
        }
    }
    EXPECT_GT(fast, 50000);  // many cases went through the integer path
}
