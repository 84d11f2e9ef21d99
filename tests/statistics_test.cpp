// Statistics record: millisecond conversion, update, merge, assignment, the
// maximum, exact binary128 sums and the 200-byte image.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/allocation_control.h"
#include "support/record_images.h"
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

std::unique_ptr<ZOV_Record> blank() {
    return std::make_unique<ZOV_STIR>(0);
}

}  // namespace

TEST(Statistics, MillisecondsTruncateAndClamp) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int32_t> cases[] = {{0.0015, 1},
                                                {0.0009, 0},
                                                {1.9999, 1999},
                                                {-0.5, 0},
                                                {-inf, 0},
                                                {nan, 2147483647},
                                                {inf, 2147483647},
                                                {1e12, 2147483647},
                                                {2147483.647, 2147483647},
                                                {2147483.6469, 2147483646}};
    for (const auto& [seconds, ms] : cases)
        EXPECT_EQ(ZOV_STIR::toMilliseconds(seconds), ms) << seconds;
}

TEST(Statistics, FirstUpdateAfterResetThenSignedExtremes) {
    ZOV_STIR record(1);
    load(record, Values{.count = 9, .sumSize = 900, .maxSize = 500, .first = 7, .last = 8});
    record.reset();
    EXPECT_EQ(imageOf(record), image(record, Values{}).data());  // header kept, body zero

    const uint32_t before = ZOV_SecondsSince1901();
    ASSERT_EQ(record.updateStatistics(0.25, 0.0015, 300), ZOV_RC_OK);
    const uint32_t now = record.getFirstCollection();
    EXPECT_TRUE(now >= before && now <= ZOV_SecondsSince1901());
    EXPECT_EQ(imageOf(record),
              image(record, Values{1, 300, 300, 300, 1, 1, 1, 250, 250, 250, now, now}).data());

    // Minima and maxima compare signed; a queued time of 0 is a sample.
    ASSERT_EQ(record.updateStatistics(0.0, 0.005, -5), ZOV_RC_OK);
    ASSERT_EQ(record.updateStatistics(0.020, 0.001, 7), ZOV_RC_OK);
    const uint32_t last = record.getLastCollection();
    EXPECT_EQ(imageOf(record),
              image(record, Values{3, 302, 300, -5, 7, 5, 1, 270, 250, 0, now, last}).data());
}

TEST(Statistics, MaximumStopsTheCountAndChangesNothing) {
    ZOV_STIR record(1);
    load(record, Values{2147483646, 5000, 100, 2, 70, 9, 1, 30, 4, 0, 1000, 2000});
    ASSERT_EQ(record.updateStatistics(0.001, 0.001, 1), ZOV_RC_OK);
    EXPECT_TRUE(record.getMessageCount() == 2147483647);
    const std::vector<unsigned char> before = imageOf(record);
    EXPECT_EQ(record.updateStatistics(0.5, 0.5, 1000), ZOV_RC_MAXIMUM);
    EXPECT_EQ(imageOf(record), before);
}

TEST(Statistics, SumsAreExactBeyondTwoToThe64) {
    // 2^64 + 1 needs 65 significant bits: an 80-bit long double rounds it.
    ASSERT_EQ(static_cast<long double>(kTwoTo64) + 1.0L, static_cast<long double>(kTwoTo64));
    ZOV_STIR record(0), other(0);
    load(record, Values{1, kTwoTo64, 1, 1, kTwoTo64, 1, 1, kTwoTo64, 1, 1, 5, 5});
    ASSERT_EQ(record.updateStatistics(0.003, 0.001, 1), ZOV_RC_OK);
    const uint32_t now = record.getLastCollection();
    EXPECT_EQ(imageOf(record), image(record, Values{2, kTwoTo64 + 1, 1, 1, kTwoTo64 + 1, 1, 1,
                                                    kTwoTo64 + 3, 3, 1, 5, now})
                                   .data());

    load(other, Values{.count = 1, .sumSize = 2, .first = 5, .last = 5});
    record += other;
    EXPECT_TRUE(record.getSumSize() - static_cast<__float128>(kTwoTo64) == 3);
}

TEST(Statistics, MergeRules) {
    const Values source{3, 30, 20, -4, 9, 5, 1, 6, 3, 1, 0x80000005u, 0x80000009u};
    ZOV_STIR from(0), empty(0), filled(0), unset(0);
    load(from, source);

    // Into an empty record: the source's extremes and times are taken.
    empty += from;
    EXPECT_EQ(imageOf(empty), image(empty, source).data());

    // Both collected: signed extremes, unsigned collection times.
    load(filled, Values{1, 4, -1, -7, 2, 2, 2, 8, 8, 8, 7, 9});
    filled += from;
    EXPECT_EQ(imageOf(filled),
              image(filled, Values{4, 34, 20, -7, 11, 5, 1, 14, 8, 1, 7, 0x80000009u}).data());

    // A source without first collection changes nothing, not even the sums.
    load(unset, Values{.count = 50, .sumSize = 5000, .maxSize = 900, .first = 0, .last = 99});
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

TEST(Statistics, ImageLayoutAndBoundedRead) {
    ZOV_STIR fresh(1), parent(1), filled(1);
    expectImage(fresh, image(fresh, Values{}), blank);
    filled.setParent(parent.getRecordId());
    const Values values{3, kTwoTo64 + 5, 0x01020304, -2, 123456789,   0x7FFFFFFF,
                        0, 77,           40,         1,  0xFEDCBA98u, 0xFEDCBA99u};
    load(filled, values);
    expectImage(filled, image(filled, values), blank);

    // A short image or a limit before the position leaves the record alone.
    const std::vector<unsigned char> before = imageOf(fresh);
    std::vector<unsigned char> bytes = imageOf(filled);
    EXPECT_EQ(fresh.getBounded(bytes.data(), bytes.data() + 199), nullptr);
    EXPECT_EQ(fresh.getBounded(bytes.data() + 8, bytes.data()), nullptr);
    EXPECT_EQ(imageOf(fresh), before);
}

// The per-message update in place must leave the bytes that refreshing the
// object, updating it and writing it back leave, header untouched, from every
// kind of stored record, and allocate nothing. A pair of updates that straddles
// a second boundary (different collection times) is made again.
TEST(Statistics, UpdateInPlaceWritesWhatGetUpdatePutWrites) {
    const Values starts[] = {{},
                             {5, 900, 400, 3, 20, 9, 1, 40, 30, 2, 100, 200},
                             {1, kTwoTo64, 1, -9, kTwoTo64, 1, 1, 0, 0, 0, 7, 7},
                             {2147483646, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}};
    for (const Values& start : starts) {
        ZOV_STIR stored(1), viaObject(0), inPlace(0);
        load(stored, start);
        std::vector<unsigned char> expected = imageOf(stored), actual = expected;
        for (int i = 0; i < 4; ++i) {
            for (;;) {
                std::vector<unsigned char> a = expected, b = actual;
                const uint32_t second = ZOV_SecondsSince1901();
                viaObject.get(a.data());
                const ZOV_ReturnCode rc = viaObject.updateStatistics(0.004 * i, 0.0, 7 - 9 * i);
                if (rc == ZOV_RC_OK)
                    viaObject.put(a.data());
                AllocationScope scope;
                EXPECT_EQ(inPlace.updateImage(b.data(), 0.004 * i, 0.0, 7 - 9 * i), rc);
                EXPECT_EQ(scope.count(), 0);
                if (ZOV_SecondsSince1901() == second) {
                    expected = a, actual = b;
                    break;
                }
            }
            ASSERT_EQ(actual, expected) << "start count " << static_cast<double>(start.count);
        }
    }
}
