// The record base: header image, record IDs and their string form, time
// ordering, the per-record named mutex (built lazily, rebuilt when the ID
// changes, safe when several threads lock one record object), and the record
// sets. Layout cases work on plain arrays; only the mutex cases use IPC.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broker/harness.h"
#include "support/ipc_support.h"
#include "support/record_images.h"
#include "zov/zovcrcrd.h"
#include "zov/zovcrcst.h"

namespace {

using zovtest::fileExists;
using zovtest::ipcObjectCount;
using zovtest::ipcObjectTotal;

constexpr size_t kHeader = ZOV_Record_Header::kSize;

int32_t int32At(const unsigned char* image, size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, image + offset, sizeof value);
    return value;
}

std::string text(ZOV_String s) {
    return s.getcValue();
}

std::string keyFileOf(const ZOV_Record& record) {
    return "/tmp/" + text(record.getStringRecordId()) + ".zovmutx";
}

// The header's bytes are checked with every record kind's image.
TEST(RecordImage, ParentLinksAndARefusedRead) {
    ZOV_Record parent(ZOV_RT_BROKER, 1);
    ZOV_Record record(ZOV_RT_NODE, 1);
    record.setParent(parent.getRecordId());
    record.setParent(nullptr);  // changes nothing
    std::array<unsigned char, kHeader> area{};
    record.put(area.data());
    ZOV_Record copy;
    EXPECT_EQ(copy.getBounded(area.data(), area.data() + kHeader - 1), nullptr);
    EXPECT_EQ(copy.getSharedPosition(), nullptr) << "a refused read changes nothing";
    EXPECT_EQ(copy.get(area.data()), area.data() + kHeader);
    EXPECT_EQ(copy.getSharedPosition(), area.data());
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
        for (int field = 0; field < 9; ++field) {
            EXPECT_EQ(int32At(id, 4 + 4 * field), expected[field]) << "field " << field;
        }
        EXPECT_GE(int32At(id, 40), before.tv_usec / 1000);
        EXPECT_LE(int32At(id, 40), after.tv_usec / 1000);
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

TEST(RecordId, StringFormIs96UpperCaseHexDigitsOfTheIdBytes) {
    ZOV_Record bare(ZOV_RT_NODE, 0);
    EXPECT_EQ(text(bare.getStringRecordId()), "05000000" + std::string(88, '0'));
    ZOV_Record record(ZOV_RT_EVENT_DATA, 1);
    const std::string id = text(record.getStringRecordId());
    ASSERT_EQ(id.size(), 96u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    unsigned int last = 0;
    std::sscanf(id.c_str() + 94, "%2X", &last);
    EXPECT_EQ(last, record.getRecordId()->bytes[47]);
}

// Never seeded: two processes from the same state draw the same number, where
// a seed from the time or the process id would differ.
TEST(RecordId, RandomPartIsNeverSeeded) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    for (int child = 0; child < 2; ++child) {
        ASSERT_EQ(zovtest::runInChild([&] {
                      const int32_t number = ZOV_Record(ZOV_RT_NODE, 1).getRecordId()->random();
                      return write(ends[1], &number, sizeof number) == sizeof number ? 0 : 1;
                  }),
                  0);
    }
    int32_t drawn[2] = {};
    ASSERT_EQ(read(ends[0], drawn, sizeof drawn), static_cast<ssize_t>(sizeof drawn));
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(drawn[0], drawn[1]);
}

TEST(RecordTime, LaterComparesFromYearsDownToMillisecondsOnly) {
    ZOV_Record record(ZOV_RT_NODE, 1);
    const unixtime t = record.getRecordId()->created();
    EXPECT_EQ(record.isNewer(t), 0);
    const struct {
        int32_t unixtime::*field;
        int32_t delta;
        int tIsLater;
    } cases[] = {
        {&unixtime::milliseconds, -1, 1},   {&unixtime::milliseconds, +1, 0},
        {&unixtime::seconds, -1, 1},        {&unixtime::minutes, +1, 0},
        {&unixtime::hours, -1, 1},          {&unixtime::dayOfMonth, +1, 0},
        {&unixtime::month, -1, 1},          {&unixtime::years, +1, 0},
        {&unixtime::dayOfWeek, +1, 0},      {&unixtime::dayOfYear, -1, 0},
        {&unixtime::daylightSaving, -1, 0},
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

// With /tmp read-only no mutex can be built: lock reports it and goes on
// without locking, and the next lock tries again.
TEST_F(RecordMutexTest, FailedBuildLogsAndLocksNothingUntilItCanBeBuilt) {
    ZOV_Record record(ZOV_RT_STATISTICS, 1);
    ASSERT_EQ(mount("zovtest", "/tmp", "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_EQ(record.initializeMutex(), ZOV_RC_MUTEX);
    record.lock();
    record.lock();  // not held, so it does not wait
    record.unlock();
    record.unlock();
    EXPECT_EQ(log.containing("Error 9 building Mutex").size(), 2u);
    EXPECT_EQ(ipcObjectCount("sem"), 0);
    ASSERT_EQ(umount("/tmp"), 0);

    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(record)));
    record.unlock();
}

// Counts the threads inside the record's critical section and remembers the
// most.
struct Occupancy {
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    void enter() {
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    }
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
        EXPECT_EQ(occupancy.most.load(), 1) << "round " << round;
        EXPECT_EQ(ipcObjectCount("sem"), 1) << "one mutex built, none leaked";
        EXPECT_EQ(zovtest::queueMessages(msgget(ftok(keyFileOf(record).c_str(), 1), 0)), 1);
        record.cleanup();
        EXPECT_EQ(ipcObjectTotal(), 0);
    }
}

// One thread keeps changing the record's ID (as an updater that reads another
// record's image would) while the others lock and unlock. Nobody may enter
// through the mutex of an old ID once the new one is in use.
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
    EXPECT_EQ(occupancy.most.load(), 1);

    // The last ID read names the mutex in use.
    EXPECT_EQ(*record.getRecordId(), *second.getRecordId());
    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(second)));
    record.unlock();
    record.cleanup();
    EXPECT_FALSE(fileExists(keyFileOf(first)));
    EXPECT_FALSE(fileExists(keyFileOf(second)));
}

class CountedRecord : public ZOV_Record {
  public:
    explicit CountedRecord(int& destroyed) : ZOV_Record(ZOV_RT_NODE, 1), destroyed(destroyed) {}
    ~CountedRecord() override { ++destroyed; }

  private:
    int& destroyed;
};

TEST(RecordSet, KeepsOrderAndDuplicatesAndDestroysOnlyWhenAsked) {
    int destroyed = 0;
    auto* a = new CountedRecord(destroyed);
    auto* b = new CountedRecord(destroyed);
    ZOV_Ordered_Record_Set set;
    EXPECT_EQ(set.insert(b), ZOV_RC_OK);
    EXPECT_EQ(set.insert(a), ZOV_RC_OK);
    EXPECT_EQ(set.insert(b), ZOV_RC_OK);
    EXPECT_EQ(set.insert(nullptr), ZOV_RC_NULL);
    ZOV_Ordered_Record_Set_Iterator next(set);
    for (int pass = 0; pass < 2; ++pass, next.reset()) {
        EXPECT_EQ(next(), b);
        EXPECT_EQ(next(), a);
        EXPECT_EQ(next(), b);
        EXPECT_EQ(next(), nullptr);
    }
    set.clear();
    EXPECT_EQ(destroyed, 0);
    set.insert(a);
    set.insert(b);
    set.clearAndDestroy();
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
