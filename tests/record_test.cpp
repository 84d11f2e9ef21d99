// Records: the header, record IDs and their string form, time ordering, the
// per-record named mutex (built lazily, rebuilt when the ID changes, safe when
// several threads lock one record object); the 16-bit string, the resource
// identity; every kind's image byte by byte, the statistics' update, merge,
// maximum and print lines, and the whole-number binary128 sums (zovcquad.h).
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <latch>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "broker/brk_api.h"
#include "broker/harness.h"
#include "support/allocation_control.h"
#include "support/ipc_support.h"
#include "support/record_images.h"
#include "zov/core/zovcbrir.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcquad.h"
#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcreir.h"
#include "zov/core/zovcstir.h"

using namespace zovtest;

namespace {

constexpr size_t kHeader = ZOV_Record_Header::kSize;

int32_t int32At(const unsigned char* image, size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, image + offset, sizeof value);
    return value;
}

std::string keyFileOf(const ZOV_Record& record) {
    return std::string("/tmp/") + record.getStringRecordId().getcValue() + ".zovmutx";
}

// The header's bytes are checked with every record kind's image.
TEST(RecordImage, ParentLinksAndARefusedRead) {
    ZOV_Record parent(ZOV_RT_BROKER, 1), record(ZOV_RT_NODE, 1), copy;
    record.setParent(parent.getRecordId());
    record.setParent(nullptr);  // changes nothing
    std::array<unsigned char, kHeader> area{};
    record.put(area.data());
    EXPECT_EQ(copy.getBounded(area.data(), area.data() + kHeader - 1), nullptr);
    EXPECT_EQ(copy.getSharedPosition(), nullptr) << "a refused read changes nothing";
    copy.get(area.data());
    EXPECT_EQ(copy.isChildOf(&parent), 1);
    EXPECT_EQ(copy.isChildOf(nullptr), 0);
    EXPECT_EQ(parent.isChildOf(&copy), 0) << "an all-zero parent field names no record";
}

TEST(RecordId, CreationTimeIsTheLocalTimeToTheMillisecond) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        timeval before = {}, after = {};
        gettimeofday(&before, nullptr);
        ZOV_Record record(ZOV_RT_STATISTICS, 1);
        gettimeofday(&after, nullptr);
        if (before.tv_sec != after.tv_sec)
            continue;  // retry within one second

        tm local = {};
        localtime_r(&before.tv_sec, &local);
        const int expected[] = {local.tm_sec,  local.tm_min,  local.tm_hour,
                                local.tm_mday, local.tm_mon,  local.tm_year,
                                local.tm_wday, local.tm_yday, local.tm_isdst};
        const unsigned char* id = record.getRecordId()->bytes;
        for (int field = 0; field < 9; ++field)
            EXPECT_EQ(int32At(id, 4 + 4 * field), expected[field]) << "field " << field;
        EXPECT_GE(int32At(id, 40), before.tv_usec / 1000);
        EXPECT_LE(int32At(id, 40), after.tv_usec / 1000);
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

TEST(RecordId, StringFormIs96UpperCaseHexDigitsOfTheIdBytes) {
    ZOV_Record bare(ZOV_RT_NODE, 0);
    EXPECT_EQ(bare.getStringRecordId().getcValue(), "05000000" + std::string(88, '0'));
    ZOV_Record record(ZOV_RT_EVENT_DATA, 1);
    char hex[97] = "";
    for (int i = 0; i < 48; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", record.getRecordId()->bytes[i]);
    EXPECT_STREQ(record.getStringRecordId().getcValue(), hex);
}

// Never seeded: two processes from the same state draw the same number, where
// a seed from the time or the process id would differ.
TEST(RecordId, RandomPartIsNeverSeeded) {
    const Pipe drawn;
    const auto draw = [&] {
        const int32_t number = ZOV_Record(ZOV_RT_NODE, 1).getRecordId()->random();
        return drawn.send(&number, sizeof number) ? 0 : 1;
    };
    ASSERT_EQ(runInChild(draw), 0);
    ASSERT_EQ(runInChild(draw), 0);
    int32_t numbers[2] = {};
    ASSERT_TRUE(drawn.receive(numbers, sizeof numbers));
    EXPECT_EQ(numbers[0], numbers[1]);
}

TEST(RecordTime, LaterComparesFromYearsDownToMillisecondsOnly) {
    ZOV_Record record(ZOV_RT_NODE, 1);
    const unixtime t = record.getRecordId()->created();
    const struct {
        int32_t unixtime::*field;
        int32_t delta;
        int tIsLater;
    } cases[] = {
        {&unixtime::milliseconds, 0, 0},  {&unixtime::milliseconds, -1, 1},
        {&unixtime::milliseconds, +1, 0}, {&unixtime::seconds, -1, 1},
        {&unixtime::minutes, +1, 0},      {&unixtime::hours, -1, 1},
        {&unixtime::dayOfMonth, +1, 0},   {&unixtime::month, -1, 1},
        {&unixtime::years, +1, 0},        {&unixtime::dayOfWeek, +1, 0},
        {&unixtime::dayOfYear, -1, 0},    {&unixtime::daylightSaving, -1, 0},
    };
    for (const auto& c : cases) {
        unixtime other = t;
        other.*c.field += c.delta;
        EXPECT_EQ(record.isNewer(other), c.tIsLater) << &c - cases;
    }
    // The larger field decides before the smaller ones.
    unixtime earlierYearLaterMonth = t;
    earlierYearLaterMonth.years -= 1;
    earlierYearLaterMonth.month += 5;
    earlierYearLaterMonth.milliseconds += 5;
    EXPECT_EQ(ZOV_IsLater(t, earlierYearLaterMonth), 1);
}

class RecordMutexTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(ipcObjectTotal(), 0) << "IPC objects left behind"; }
    standin::LogSink log;
};

// Reading another record's image or assigning another record makes the next
// lock use the mutex named after the new ID; reading its own image keeps it.
TEST_F(RecordMutexTest, ANewIdMakesTheNextLockUseItsName) {
    ZOV_Record record(ZOV_RT_STATISTICS, 1), other(ZOV_RT_STATISTICS, 1), source(ZOV_RT_NODE, 1);
    std::array<unsigned char, kHeader> area{};
    record.lock();
    record.unlock();
    const std::string oldKey = keyFileOf(record);
    record.put(area.data());
    record.get(area.data());
    record.lock();
    record.unlock();
    EXPECT_EQ(ipcObjectCount("sem"), 1);

    other.put(area.data());
    record.get(area.data());
    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(other)));
    EXPECT_EQ(ipcObjectCount("sem"), 2);
    record.unlock();
    record = source;
    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(source)));
    record.unlock();

    record.cleanup();
    for (const std::string& key : {oldKey, keyFileOf(other), keyFileOf(source)})
        EXPECT_FALSE(fileExists(key)) << key;
}

// With /tmp read-only no mutex can be built: lock reports it once and fails,
// without building again per lock, until the record has a new ID.
TEST_F(RecordMutexTest, FailedBuildIsReportedOnceAndNotHeldUntilANewId) {
    ZOV_Record record(ZOV_RT_STATISTICS, 1);
    ASSERT_EQ(mount("zovtest", "/tmp", "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_FALSE(record.lock());
    EXPECT_FALSE(record.lock());
    EXPECT_EQ(log.containing("Error 9 building Mutex").size(), 1u);
    EXPECT_EQ(log.containing(record.getStringRecordId().getcValue()).size(), 1u);
    EXPECT_EQ(ipcObjectCount("sem"), 0);
    ASSERT_EQ(umount("/tmp"), 0);
    EXPECT_FALSE(record.lock());

    record.generateRecordId();
    ASSERT_TRUE(record.lock());
    EXPECT_TRUE(fileExists(keyFileOf(record)));
    record.unlock();
}

// How often a thread entered the record's critical section with another inside.
struct Occupancy {
    std::atomic<int> inside{0}, overlaps{0};
    void enter() { overlaps += ++inside > 1; }
    void pass(ZOV_Record& record) {
        record.lock();
        enter();
        std::this_thread::yield();
        --inside;
        record.unlock();
    }
};

TEST_F(RecordMutexTest, ThreadsLockingAFreshRecordAtOnceNeverShareIt) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 10; ++round) {
        ZOV_Record record(ZOV_RT_STATISTICS, 1);
        Occupancy occupancy;
        std::latch start(kThreads);
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                for (int i = 0; i < 50; ++i)
                    occupancy.pass(record);
            });
        }
        threads.clear();
        EXPECT_EQ(occupancy.overlaps.load(), 0) << "round " << round;
        EXPECT_EQ(ipcObjectCount("sem"), 1) << "one mutex built, none leaked";
        EXPECT_EQ(queueMessages(msgget(ftok(keyFileOf(record).c_str(), 1), 0)), 1);
        record.cleanup();
        EXPECT_EQ(ipcObjectTotal(), 0);
    }
}

// One thread keeps changing the record's ID (reading other images) while others
// lock: nobody may enter through an old ID's mutex once the new one is in use.
TEST_F(RecordMutexTest, IdChangingWhileOthersLockKeepsThemExclusive) {
    ZOV_Record record(ZOV_RT_STATISTICS, 1), first(ZOV_RT_STATISTICS, 1),
        second(ZOV_RT_STATISTICS, 1);
    std::array<unsigned char, kHeader> firstImage{}, secondImage{};
    first.put(firstImage.data());
    second.put(secondImage.data());
    Occupancy occupancy;
    std::atomic<bool> stop{false};
    std::vector<std::jthread> workers;
    for (int t = 0; t < 7; ++t) {
        workers.emplace_back([&] {
            while (!stop)
                occupancy.pass(record);
        });
    }
    for (int change = 0; change < 40; ++change) {
        record.lock();
        occupancy.enter();
        --occupancy.inside;
        record.get(change % 2 == 0 ? firstImage.data() : secondImage.data());
        record.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    workers.clear();
    EXPECT_EQ(occupancy.overlaps.load(), 0);
}

// Comparison by length first; high bytes widen sign-extended and narrow back.
TEST(Strings, LengthDecidesFirstAndHighBytesWidenSignExtended) {
    const unsigned short b[] = {'b', 0}, aa[] = {'a', 'a', 0}, ab[] = {'a', 'b', 0}, empty[] = {0};
    EXPECT_LT(zovcmp(b, aa), 0);  // shorter, though 'b' > 'a'
    EXPECT_LT(zovcmp(aa, ab), 0);
    EXPECT_EQ(zovcmp(nullptr, empty), 0);
    EXPECT_TRUE(ZOV_String("Label") != "label");

    unsigned short wide[4];
    strtozov(wide, "\x7F\x80\xE9", 3);
    EXPECT_EQ(std::vector<unsigned short>(wide, wide + 4),
              (std::vector<unsigned short>{0x007F, 0xFF80, 0xFFE9, 0}));
    const unsigned short units[] = {0xFFE9, 0x00E9, 0x1241, 0};
    char narrow[4];
    zovtostr(narrow, units, 3);
    EXPECT_EQ(std::string(narrow), std::string("\xE9\xE9") + 'A');
    std::string all;
    for (int i = 1; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(ZOV_String(all.c_str()).getcValue(), all);  // every byte survives
}

TEST(ResourceIdentity, AlikeNeedsBothUuidAndLabelExactly) {
    const ZOV_String uuid("U-1"), label = wide(u"N\u00e9ud"), upper = wide(u"N\u00c9UD");
    const ZOV_String otherUuid("U-2");
    const ZOV_Resource_ID id(&uuid, &label), same(&uuid, &label), caseDiffers(&uuid, &upper);
    const ZOV_Resource_ID otherId(&otherUuid, &label), empty;
    EXPECT_EQ(empty.alike(&empty), 1);
    // The record compares its own UUID and label by the same rule.
    ZOV_NOIR record(&id);
    const std::pair<const ZOV_Resource_ID*, int> cases[] = {
        {&same, 1}, {&caseDiffers, 0}, {&otherId, 0}, {nullptr, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(id.alike(c.first), c.second) << &c - cases;
        EXPECT_EQ(record.alike(c.first), c.second) << &c - cases;
    }
    EXPECT_EQ(record.getResourceId().alike(&id), 1);

    ZOV_Resource_ID partial(nullptr, &label);  // a null argument leaves its field alone
    partial.setLabel(nullptr);
    EXPECT_TRUE(partial.getUuid().isEmpty() && partial.getLabel() == label);
}

TEST(ResourceInformationBounds, HostileCountsAndFailedStringsEndTheDecode) {
    ZOV_NOIR node(nullptr);
    ImageBuilder huge(node), oneOver(node);
    huge.u32(0x7FFFFFFFu).u32(0).u32(0);
    oneOver.string(u"abc").u32(2).u8('x').u8(0).u8('y').u8(0).u8(0);  // terminator cut
    EXPECT_EQ(decodeAtGuard(huge.data(), huge.size(), blank<ZOV_NOIR, nullptr>), -1);
    EXPECT_EQ(decodeAtGuard(oneOver.data(), oneOver.size(), blank<ZOV_NOIR, nullptr>), -1);
    EXPECT_EQ(node.getBounded(huge.raw() + 8, huge.raw()), nullptr);  // limit before position
    EXPECT_EQ(node.put(nullptr), nullptr);

    // A string that cannot take its characters stops the decode, reported (the
    // first allocation is the UUID's, the second the label's).
    const ZOV_String uuid("abc"), label("defg");
    const ZOV_Resource_ID id(&uuid, &label);
    ZOV_EGIR stored(&id);
    std::vector<unsigned char> image = imageOf(stored);
    for (int failing : {1, 2}) {
        standin::LogSink log;
        ZOV_EGIR target(nullptr);
        const void* end = [&] {
            AllocationScope scope(failing);
            return target.getBounded(image.data(), image.data() + image.size());
        }();
        EXPECT_EQ(end, nullptr) << failing;
        EXPECT_EQ(log.containing("Allocation Error in ZOV_REIR::get").size(), 1u) << failing;
    }
}

// The 158-byte template: labels of 3, 3 and 2 characters, a text of 5.
struct ExampleTemplate {
    ZOV_String group{"grp"}, flow{"flw"}, node{"n1"}, text{"caf\xE9!"};
    ZOV_EVTR record{&group, &flow, &node, ZOV_NT_OUTPUT, &text};
};

constexpr RecordMaker blankTemplate =
    blank<ZOV_EVTR, nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr>;

// Every byte differs from its neighbours: a field from a wrong offset shows.
struct PatternedDescriptor {
    unsigned char bytes[sizeof(BrkMqmd)];
    BrkMqmd md;
    PatternedDescriptor() {
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + 1);
        std::memcpy(&md, bytes, sizeof md);
    }
};

ImageBuilder dataImage(const ZOV_EVDR& record, const unsigned char* md, int threadId) {
    ImageBuilder image(record);
    image.u32(record.getEventTime()).i32(threadId);
    image.bytes(md + 48, 24).bytes(md + 72, 24).bytes(md + 272, 4);
    return image.bytes(md + 276, 28).bytes(md + 304, 8).bytes(md + 312, 8);
}

// Equal content, different record IDs: equal. Any field differing: not.
TEST(EventTemplate, EqualityByContentAndAHostileTextCount) {
    ExampleTemplate a, b;
    ASSERT_NE(*a.record.getRecordId(), *b.record.getRecordId());
    EXPECT_EQ(a.record == b.record, 1);
    const ZOV_String upper("GRP"), otherText("cafe!");
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.node, ZOV_NT_INPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&upper, &a.flow, &a.node, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, nullptr, &a.node, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.flow, ZOV_NT_OUTPUT, &a.text), 0);
    EXPECT_EQ(a.record == ZOV_EVTR(&a.group, &a.flow, &a.node, ZOV_NT_OUTPUT, &otherText), 0);

    // A text count running past the limit ends the decode.
    ImageBuilder hostile(a.record);
    hostile.string(u"g").string(u"f").string(u"n").i32(1).u32(0xFFFFFFFFu).u32(0);
    EXPECT_EQ(decodeAtGuard(hostile.data(), hostile.size(), blankTemplate), -1);
}

// With or without a descriptor the event time is the clock's; a copy is whole.
TEST(EventRecords, DataTimeAndCopiesAndEventInitOfTheGivenParts) {
    const PatternedDescriptor descriptor;
    const uint32_t before = ZOV_SecondsSince1901();
    ZOV_EVDR record(&descriptor.md, -123), bare(nullptr, 0), copy(nullptr, 0);
    const uint32_t after = ZOV_SecondsSince1901();
    for (const ZOV_EVDR* r : {&record, &bare}) {
        EXPECT_GE(r->getEventTime(), before) << r->getThreadId();
        EXPECT_LE(r->getEventTime(), after) << r->getThreadId();
    }
    copy = record;
    EXPECT_EQ(imageOf(copy), imageOf(record));

    // An event's init replaces only the parts it is given; without parts no ID is drawn.
    ExampleTemplate example;
    ZOV_EVIR event(&example.record, &record);
    event.init(nullptr, &bare);
    EXPECT_EQ(event.getTemplate() == example.record, 1);
    EXPECT_EQ(event.getData().getThreadId(), 0);
    EXPECT_TRUE(hasBlankRecordId(ZOV_EVIR(nullptr, nullptr)));
}

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
    ImageBuilder b(headerOf);
    b.binary128(v.count).binary128(v.sumSize).i32(v.maxSize).i32(v.minSize);
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

// A limit before the position changes nothing; a reset keeps the header.
TEST(Statistics, BoundedReadBeforeThePositionAndResetKeepTheHeader) {
    ZOV_STIR fresh(1), filled(1);
    load(filled, Values{3, 300, 100, 1, 12, 7, 2, 45, 20, 10, 7, 9});
    std::vector<unsigned char> bytes = imageOf(filled);
    EXPECT_EQ(fresh.getBounded(bytes.data() + 8, bytes.data()), nullptr);
    EXPECT_EQ(imageOf(fresh), image(fresh, Values{}).data());
    filled.reset();
    EXPECT_EQ(imageOf(filled), image(filled, Values{}).data());
}

// Each kind's image against one laid out byte by byte (expectImage), with or
// without a record ID drawn.
TEST(RecordImages, EveryKindMatchesItsByteTable) {
    // The execution group: a 36-character UUID, a 10-character label.
    const std::u16string groupUuid = u"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9";
    const ZOV_String uuid = wide(groupUuid), label("Execution1");
    const ZOV_Resource_ID groupId(&uuid, &label);
    ZOV_BRIR parent(&groupId);
    ZOV_EGIR group(&groupId);
    group.setParent(parent.getRecordId());
    group.setProcessId(-4711);

    // Characters above 0x7F: byte 0xE9 widens to 0xFFE9, 16-bit units stay.
    const ZOV_String brokerUuid("Br\xE9"), brokerLabel = wide(u"\u20ac\u00e9");
    const ZOV_Resource_ID brokerId(&brokerUuid, &brokerLabel);
    ZOV_BRIR broker(&brokerId);
    broker.setResetTime(0xF0000001ul);
    broker.markDeleted();
    ZOV_NOIR node(&brokerId);
    node.setNodeType(ZOV_NT_INPUT);
    const std::u16string br = u"Br\uffe9", euro = u"\u20ac\u00e9";

    ExampleTemplate example;
    const PatternedDescriptor descriptor;
    ZOV_EVDR data(&descriptor.md, -123), bare(nullptr, 0);
    data.setParent(example.record.getRecordId());
    ZOV_EVIR event(&example.record, &data);
    const std::vector<unsigned char> zeros(sizeof(BrkMqmd));

    ZOV_STIR filled(1);
    filled.setParent(parent.getRecordId());
    const Values values{3, kTwoTo64 + 5, 0x01020304, -2, 123456789,   0x7FFFFFFF,
                        0, 77,           40,         1,  0xFEDCBA98u, 0xFEDCBA99u};
    load(filled, values);

    // Without identity: empty strings, type 3, no record ID.
    ZOV_REIR resource(ZOV_RT_RESOURCE, nullptr);
    ZOV_MFIR flow(nullptr);
    ZOV_NOIR untyped(nullptr);
    auto emptyTemplate = blankTemplate();
    const struct {
        ZOV_Record& record;
        ImageBuilder image;
        bool blankId;
        RecordMaker make;
    } kinds[] = {
        // 116, 116, 120, 132 and 212 bytes.
        {resource, ImageBuilder(resource).string(u"").string(u""), true,
         blank<ZOV_REIR, ZOV_RT_RESOURCE, nullptr>},
        {flow, ImageBuilder(flow).string(u"").string(u""), true, blank<ZOV_MFIR, nullptr>},
        {untyped, ImageBuilder(untyped).string(u"").string(u"").i32(3), true,
         blank<ZOV_NOIR, nullptr>},
        {*emptyTemplate, ImageBuilder(*emptyTemplate).strings(u"", u"", u"").i32(3).string(u""),
         true, blankTemplate},
        {group, ImageBuilder(group).string(groupUuid).string(u"Execution1").i32(-4711), false,
         blank<ZOV_EGIR, nullptr>},
        {broker, ImageBuilder(broker).string(br).string(euro).u32(0xF0000001u), false,
         blank<ZOV_BRIR, nullptr>},
        {node, ImageBuilder(node).string(br).string(euro).i32(1), false, blank<ZOV_NOIR, nullptr>},
        // 158 and 208 bytes.
        {example.record,
         ImageBuilder(example.record).strings(u"grp", u"flw", u"n1").i32(2).string(u"caf\uffe9!"),
         false, blankTemplate},
        {data, dataImage(data, descriptor.bytes, -123), false, blank<ZOV_EVDR, nullptr, 0>},
        {bare, dataImage(bare, zeros.data(), 0), true, blank<ZOV_EVDR, nullptr, 0>},
        {event, ImageBuilder(event).bytes(imageOf(example.record)).bytes(imageOf(data)), false,
         blank<ZOV_EVIR, nullptr, nullptr>},
        {filled, image(filled, values), false, blank<ZOV_STIR, 0>},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE("kind " + std::to_string(&kind - kinds));
        EXPECT_EQ(hasBlankRecordId(kind.record), kind.blankId);
        expectImage(kind.record, kind.image, kind.make);
    }
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

}  // namespace
