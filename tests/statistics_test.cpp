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

}  // namespace

TEST(Statistics, MillisecondsTruncateAndClamp) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    // Each time in seconds and its milliseconds, side by side.
    const double seconds[] = {0.0015, 0.0009, 1.9999, -0.5,        -inf,
                              nan,    inf,    1e12,   2147483.647, 2147483.6469};
    const int32_t ms[] = {1,          0,          1999,       0,          0,
                          2147483647, 2147483647, 2147483647, 2147483647, 2147483646};
    for (size_t i = 0; i < std::size(ms); ++i)
        EXPECT_EQ(ZOV_STIR::toMilliseconds(seconds[i]), ms[i]) << seconds[i];
}

// One update from each kind of stored record: through the object (get,
// update, put) and in place on a copy of the image (updateImage), which must
// leave the same bytes, header untouched, and allocate nothing. kNow in the
// expected collection times stands for the clock's second at the update; a
// case that straddles a second boundary is made again.
constexpr uint32_t kNow = 1;
struct Message {
    double queued, elapsed;
    int32_t size;
    ZOV_ReturnCode rc;
};
struct UpdateCase {
    Values start;
    Message m;
    Values expected;
};

TEST(Statistics, UpdateFromEveryKindOfStoredRecord) {
    const unsigned __int128 big = kTwoTo64;
    const Values atMax{2147483647, 5000, 100, 2, 70, 9, 1, 30, 4, 0, 1000, 2000};
    const UpdateCase cases[] = {
        // After a reset: the message sets every extreme and both times.
        {{},
         {0.25, 0.0015, 300, ZOV_RC_OK},
         {1, 300, 300, 300, 1, 1, 1, 250, 250, 250, kNow, kNow}},
        // Extremes compare signed; a queued time of 0 is a sample.
        {{1, 300, 300, 300, 1, 1, 1, 250, 250, 250, 7, 8},
         {0.0, 0.005, -5, ZOV_RC_OK},
         {2, 295, 300, -5, 6, 5, 1, 250, 250, 0, 7, kNow}},
        // The last message before the maximum counts; at the maximum nothing.
        {{2147483646, 5000, 100, 2, 70, 9, 1, 30, 4, 0, 1000, 2000},
         {0.001, 0.001, 1, ZOV_RC_OK},
         {2147483647, 5001, 100, 1, 71, 9, 1, 31, 4, 0, 1000, kNow}},
        {atMax, {0.5, 0.5, 1000, ZOV_RC_MAXIMUM}, atMax},
        // Beyond 2^64 (65 significant bits, which a long double rounds) exact.
        {{1, big, 1, 1, big, 1, 1, big, 1, 1, 5, 5},
         {0.003, 0.001, 1, ZOV_RC_OK},
         {2, big + 1, 1, 1, big + 1, 1, 1, big + 3, 3, 1, 5, kNow}}};
    for (const UpdateCase& c : cases) {
        for (;;) {
            ZOV_STIR stored(1), record(0);
            load(stored, c.start);
            std::vector<unsigned char> viaObject = imageOf(stored), inPlace = viaObject;
            const uint32_t now = ZOV_SecondsSince1901();
            ASSERT_EQ(record.get(viaObject.data()), viaObject.data() + 200);
            EXPECT_EQ(record.updateStatistics(c.m.queued, c.m.elapsed, c.m.size), c.m.rc);
            record.put(viaObject.data());
            AllocationScope scope;
            EXPECT_EQ(ZOV_STIR(0).updateImage(inPlace.data(), c.m.queued, c.m.elapsed, c.m.size),
                      c.m.rc);
            EXPECT_EQ(scope.count(), 0);
            if (ZOV_SecondsSince1901() != now)
                continue;
            Values expected = c.expected;
            for (uint32_t* time : {&expected.first, &expected.last})
                *time = *time == kNow ? now : *time;
            EXPECT_EQ(viaObject, image(stored, expected).data())
                << static_cast<double>(c.start.count);
            EXPECT_EQ(inPlace, viaObject) << static_cast<double>(c.start.count);
            break;
        }
    }
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

TEST(Statistics, ImageLayoutAndBoundedRead) {
    ZOV_STIR fresh(1), parent(1), filled(1);
    const auto blank = [] { return std::make_unique<ZOV_STIR>(0); };
    expectImage(fresh, image(fresh, Values{}), blank);
    filled.setParent(parent.getRecordId());
    const Values values{3, kTwoTo64 + 5, 0x01020304, -2, 123456789,   0x7FFFFFFF,
                        0, 77,           40,         1,  0xFEDCBA98u, 0xFEDCBA99u};
    load(filled, values);
    expectImage(filled, image(filled, values), blank);

    // A reset zeroes the body and keeps the header.
    filled.reset();
    EXPECT_EQ(imageOf(filled), image(filled, Values{}).data());

    // A short image or a limit before the position leaves the record alone.
    const std::vector<unsigned char> before = imageOf(fresh);
    std::vector<unsigned char> bytes = imageOf(filled);
    EXPECT_EQ(fresh.getBounded(bytes.data(), bytes.data() + 199), nullptr);
    EXPECT_EQ(fresh.getBounded(bytes.data() + 8, bytes.data()), nullptr);
    EXPECT_EQ(imageOf(fresh), before);
}
