// Statistics record: millisecond conversion, the per-message update, merging,
// assignment, the maximum, exact binary128 sums and the 200-byte image.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/record_images.h"
#include "zov/zovcstir.h"

using zovtest::acceptedPrefixes;
using zovtest::expectImageRoundTrip;
using zovtest::ImageBuilder;
using zovtest::imageOf;

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

ImageBuilder statisticsImage(const ZOV_Record& headerOf, const Values& v) {
    ImageBuilder image;
    image.header(headerOf).binary128(v.count).binary128(v.sumSize);
    image.i32(v.maxSize).i32(v.minSize).binary128(v.sumElapsed);
    image.i32(v.maxElapsed).i32(v.minElapsed).binary128(v.sumQueued);
    image.i32(v.maxQueued).i32(v.minQueued).u32(v.first).u32(v.last);
    return image;
}

// A record holding `v`, loaded from its image.
void load(ZOV_STIR& record, const Values& v) {
    ImageBuilder image = statisticsImage(record, v);
    ASSERT_EQ(record.get(image.raw()), image.raw() + image.size());
}

}  // namespace

TEST(StatisticsMilliseconds, TruncatesAndClampsAsDocumented) {
    EXPECT_EQ(ZOV_STIR::toMilliseconds(0.0015), 1);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(0.0009), 0);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(1.9999), 1999);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(0.0), 0);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(-0.5), 0);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(-1e300), 0);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(std::nan("")), 2147483647);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(2147483.647), 2147483647);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(1e12), 2147483647);
    EXPECT_EQ(ZOV_STIR::toMilliseconds(2147483.6469), 2147483646);
}

TEST(StatisticsUpdate, FirstUpdateAfterResetSetsExtremesAndBothTimes) {
    ZOV_STIR record(1);
    load(record,
         Values{.count = 9, .sumSize = 900, .maxSize = 500, .minSize = 1, .first = 7, .last = 8});
    const ZOV_Record_ID id = *record.getRecordId();
    record.reset();
    EXPECT_EQ(*record.getRecordId(), id);  // the header stays
    EXPECT_EQ(imageOf(record), statisticsImage(record, Values{}).data());

    const uint32_t before = ZOV_SecondsSince1901();
    ASSERT_EQ(record.updateStatistics(0.25, 0.0015, 300), ZOV_RC_OK);
    const uint32_t after = ZOV_SecondsSince1901();
    EXPECT_TRUE(record.getMessageCount() == 1);
    EXPECT_TRUE(record.getSumSize() == 300);
    EXPECT_TRUE(record.getSumElapsed() == 1);
    EXPECT_TRUE(record.getSumQueued() == 250);
    EXPECT_EQ(record.getMaxSize(), 300);
    EXPECT_EQ(record.getMinSize(), 300);
    EXPECT_EQ(record.getMaxElapsed(), 1);
    EXPECT_EQ(record.getMinElapsed(), 1);
    EXPECT_EQ(record.getMaxQueued(), 250);
    EXPECT_EQ(record.getMinQueued(), 250);
    EXPECT_GE(record.getFirstCollection(), before);
    EXPECT_LE(record.getFirstCollection(), after);
    EXPECT_EQ(record.getLastCollection(), record.getFirstCollection());
}

TEST(StatisticsUpdate, ExtremesAreSignedAndZeroQueuedTimeIsASample) {
    ZOV_STIR record(0);
    ASSERT_EQ(record.updateStatistics(0.010, 0.002, 10), ZOV_RC_OK);
    ASSERT_EQ(record.updateStatistics(0.0, 0.005, -5), ZOV_RC_OK);
    ASSERT_EQ(record.updateStatistics(0.020, 0.001, 7), ZOV_RC_OK);
    EXPECT_EQ(record.getMaxSize(), 10);
    EXPECT_EQ(record.getMinSize(), -5);
    EXPECT_TRUE(record.getSumSize() == 12);
    EXPECT_EQ(record.getMaxElapsed(), 5);
    EXPECT_EQ(record.getMinElapsed(), 1);
    EXPECT_EQ(record.getMaxQueued(), 20);
    EXPECT_EQ(record.getMinQueued(), 0);
    EXPECT_TRUE(record.getSumQueued() == 30);
    EXPECT_TRUE(record.getMessageCount() == 3);
}

TEST(StatisticsMaximum, StopsAtTwoToTheThirtyOneMinusOneLeavingEverythingAsItWas) {
    ZOV_STIR record(1);
    load(record, Values{.count = 2147483646,
                        .sumSize = 5000,
                        .maxSize = 100,
                        .minSize = 2,
                        .sumElapsed = 70,
                        .maxElapsed = 9,
                        .minElapsed = 1,
                        .sumQueued = 30,
                        .maxQueued = 4,
                        .minQueued = 0,
                        .first = 1000,
                        .last = 2000});
    ASSERT_EQ(record.updateStatistics(0.001, 0.001, 1), ZOV_RC_OK);
    EXPECT_TRUE(record.getMessageCount() == 2147483647);

    const std::vector<unsigned char> before = imageOf(record);
    EXPECT_EQ(record.updateStatistics(0.5, 0.5, 1000), ZOV_RC_MAXIMUM);
    EXPECT_EQ(imageOf(record), before);
    EXPECT_EQ(record.updateStatistics(0.5, 0.5, 1000), ZOV_RC_MAXIMUM);
    EXPECT_EQ(imageOf(record), before);
}

TEST(StatisticsSums, AreExactBinary128BeyondTwoToThe64) {
    // The test means something only where wider-than-double storage would
    // still round: 2^64 + 1 needs 65 significant bits.
    const long double extended = static_cast<long double>(kTwoTo64);
    ASSERT_EQ(extended + 1.0L, extended);

    ZOV_STIR record(0);
    load(record, Values{.count = 1,
                        .sumSize = kTwoTo64,
                        .maxSize = 1,
                        .minSize = 1,
                        .sumElapsed = kTwoTo64,
                        .sumQueued = kTwoTo64,
                        .first = 5,
                        .last = 5});
    ASSERT_EQ(record.updateStatistics(0.003, 0.001, 1), ZOV_RC_OK);
    ImageBuilder sizeSum, elapsedSum, queuedSum;
    sizeSum.binary128(kTwoTo64 + 1);
    elapsedSum.binary128(kTwoTo64 + 1);
    queuedSum.binary128(kTwoTo64 + 3);
    const std::vector<unsigned char> image = imageOf(record);
    auto field = [&](int offset) {
        return std::vector<unsigned char>(image.begin() + offset, image.begin() + offset + 16);
    };
    EXPECT_EQ(field(ZOV_STIR::kSumSizeOffset), sizeSum.data());
    EXPECT_EQ(field(ZOV_STIR::kSumElapsedOffset), elapsedSum.data());
    EXPECT_EQ(field(ZOV_STIR::kSumQueuedOffset), queuedSum.data());

    // Merging keeps the same precision.
    ZOV_STIR other(0), total(0);
    load(other, Values{.count = 1, .sumSize = 1, .first = 5, .last = 5});
    load(total, Values{.count = 1, .sumSize = kTwoTo64, .first = 5, .last = 5});
    total += other;
    EXPECT_TRUE(total.getSumSize() - static_cast<__float128>(kTwoTo64) == 1);
}

TEST(StatisticsMerge, SourceWithoutCollectionChangesNothing) {
    ZOV_STIR target(1), source(1);
    load(target,
         Values{.count = 2, .sumSize = 20, .maxSize = 15, .minSize = 5, .first = 10, .last = 20});
    // Sums without a first collection are ignored too.
    load(source,
         Values{
             .count = 50, .sumSize = 5000, .maxSize = 900, .minSize = -9, .first = 0, .last = 99});
    const std::vector<unsigned char> before = imageOf(target);
    target += source;
    EXPECT_EQ(imageOf(target), before);
}

TEST(StatisticsMerge, IntoAnEmptyRecordCopiesExtremesAndTimes) {
    ZOV_STIR target(0), source(0);
    const Values values{.count = 3,
                        .sumSize = 30,
                        .maxSize = 20,
                        .minSize = -4,
                        .sumElapsed = 9,
                        .maxElapsed = 5,
                        .minElapsed = 1,
                        .sumQueued = 6,
                        .maxQueued = 3,
                        .minQueued = 1,
                        .first = 100,
                        .last = 200};
    load(source, values);
    target += source;
    EXPECT_EQ(imageOf(target), statisticsImage(target, values).data());
}

TEST(StatisticsMerge, CombinesSignedExtremesAndUnsignedTimes) {
    ZOV_STIR target(0), source(0);
    load(target, Values{.count = 1,
                        .sumSize = 4,
                        .maxSize = -1,
                        .minSize = -7,
                        .sumElapsed = 2,
                        .maxElapsed = 2,
                        .minElapsed = 2,
                        .sumQueued = 8,
                        .maxQueued = 8,
                        .minQueued = 8,
                        .first = 7,
                        .last = 9});
    // Collection times beyond 2^31 must compare as unsigned.
    load(source, Values{.count = 2,
                        .sumSize = 6,
                        .maxSize = 3,
                        .minSize = 1,
                        .sumElapsed = 10,
                        .maxElapsed = 6,
                        .minElapsed = 4,
                        .sumQueued = 1,
                        .maxQueued = 1,
                        .minQueued = 0,
                        .first = 0x80000005u,
                        .last = 0x80000009u});
    target += source;
    const Values expected{.count = 3,
                          .sumSize = 10,
                          .maxSize = 3,
                          .minSize = -7,
                          .sumElapsed = 12,
                          .maxElapsed = 6,
                          .minElapsed = 2,
                          .sumQueued = 9,
                          .maxQueued = 8,
                          .minQueued = 0,
                          .first = 7,
                          .last = 0x80000009u};
    EXPECT_EQ(imageOf(target), statisticsImage(target, expected).data());
}

TEST(StatisticsAssignment, CopiesHeaderAndStatisticsButNotAnEmptySourcesSums) {
    ZOV_STIR source(1), target(1);
    ASSERT_EQ(source.updateStatistics(0.004, 0.002, 64), ZOV_RC_OK);
    ASSERT_EQ(source.updateStatistics(0.001, 0.003, -2), ZOV_RC_OK);
    load(target,
         Values{.count = 7, .sumSize = 7, .maxSize = 1, .minSize = 1, .first = 3, .last = 4});
    target = source;
    EXPECT_EQ(imageOf(target), imageOf(source));

    // A source never collected: the target ends reset with the source's header.
    ZOV_STIR empty(1);
    load(empty, Values{.count = 5, .sumSize = 50, .first = 0});
    target = empty;
    EXPECT_EQ(*target.getRecordId(), *empty.getRecordId());
    EXPECT_EQ(imageOf(target), statisticsImage(empty, Values{}).data());
}

TEST(StatisticsLayout, ImageOfTwoHundredBytesAtTheDocumentedOffsets) {
    ZOV_STIR fresh(1);
    ImageBuilder empty = statisticsImage(fresh, Values{});
    ASSERT_EQ(empty.size(), 200u);
    expectImageRoundTrip(fresh, empty, [] { return std::make_unique<ZOV_STIR>(0); });
    for (size_t i = ZOV_Record_Header::kSize; i < empty.size(); ++i)
        ASSERT_EQ(empty.data()[i], 0);

    ZOV_STIR parent(1), filled(1);
    filled.setParent(parent.getRecordId());
    const Values values{.count = 3,
                        .sumSize = kTwoTo64 + 5,
                        .maxSize = 0x01020304,
                        .minSize = -2,
                        .sumElapsed = 123456789,
                        .maxElapsed = 0x7FFFFFFF,
                        .minElapsed = 0,
                        .sumQueued = 77,
                        .maxQueued = 40,
                        .minQueued = 1,
                        .first = 0xFEDCBA98u,
                        .last = 0xFEDCBA99u};
    ImageBuilder image = statisticsImage(filled, values);
    load(filled, values);
    expectImageRoundTrip(filled, image, [] { return std::make_unique<ZOV_STIR>(0); });
    EXPECT_EQ(filled.isChildOf(&parent), 1);
}

TEST(StatisticsLayout, ShortImageIsRefusedAndLeavesTheRecordUntouched) {
    ZOV_STIR record(1);
    ASSERT_EQ(record.updateStatistics(0.1, 0.2, 3), ZOV_RC_OK);
    const std::vector<unsigned char> image = imageOf(record);
    EXPECT_TRUE(acceptedPrefixes(image, [] { return std::make_unique<ZOV_STIR>(0); }).empty());

    ZOV_STIR other(1);
    const std::vector<unsigned char> before = imageOf(other);
    EXPECT_EQ(other.getBounded(const_cast<unsigned char*>(image.data()), image.data() + 199),
              nullptr);
    EXPECT_EQ(imageOf(other), before);
    // A limit before the position leaves no room at all.
    EXPECT_EQ(other.getBounded(const_cast<unsigned char*>(image.data()) + 8, image.data()),
              nullptr);
    EXPECT_EQ(imageOf(other), before);
    EXPECT_EQ(other.get(nullptr), nullptr);
    EXPECT_EQ(other.put(nullptr), nullptr);
}

TEST(StatisticsUpdate, PerMessagePathAllocatesNothing) {
    ZOV_STIR stored(1);
    std::vector<unsigned char> area = imageOf(stored);
    ZOV_STIR record(0);
    int allocations = 0;
    {
        zovtest::AllocationScope scope;
        for (int i = 0; i < 100; ++i) {
            record.get(area.data());
            record.updateStatistics(0.001 * i, 0.002, i);
            record.put(area.data());
        }
        allocations = scope.count();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_TRUE(record.getMessageCount() == 100);
}

TEST(StatisticsPrint, WritesTheDocumentedLinesInOrder) {
    ZOV_STIR record(1);
    load(record, Values{.count = 12345,
                        .sumSize = kTwoTo64 + 5,
                        .maxSize = 4096,
                        .minSize = -1,
                        .sumElapsed = 250,
                        .maxElapsed = 90,
                        .minElapsed = 3,
                        .sumQueued = 0,
                        .maxQueued = 0,
                        .minQueued = 0,
                        .first = 0,
                        .last = 0});
    standin::LogSink log;
    record.print();
    std::vector<std::string> lines;
    for (const standin::LogRecord& line : log.ofFunction("ZOV_STIR::print")) {
        if (!line.isTrace() || line.text == "Entry" || line.text == "Exit")
            continue;
        lines.push_back(line.text);
    }
    const std::vector<std::string> expected = {
        "First Collection    : n/a",          "Last Collection     : n/a",
        "Message Count       :        12345", "Max Size            :         4096",
        "Min Size            :           -1", "Sum Size            : 1.844674407e+19",
        "Max elapsed time    :           90", "Min elapsed time    :            3",
        "Sum elapsed time    :          250", "Max queued time     :            0",
        "Min queued time     :            0", "Sum queued time     :            0",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(log.ofFunction("ZOV_Record::print").empty());  // the header dump comes first

    // Collection times print as a local date and time.
    load(record, Values{.count = 1, .first = 1, .last = 0xFFFFFFFFu});
    log.clear();
    record.print();
    const std::vector<standin::LogRecord> first = log.containing("First Collection");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].text.find("n/a"), std::string::npos);
    EXPECT_EQ(first[0].text.rfind("First Collection    : 190", 0), 0u) << first[0].text;
}
