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

std::string hexOf(const ZOV_Record_ID& id) {
    std::string hex;
    char pair[3];
    for (unsigned char byte : id.bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return hex;
}

// ------------------------------------------------------------------ images

TEST(RecordImage, HeaderLiesByteByByteAsDocumented) {
    ZOV_Record parent(ZOV_RT_BROKER, 1);
    ZOV_Record record(ZOV_RT_NODE, 1);
    record.setParent(parent.getRecordId());
    record.markDeleted();
    std::array<unsigned char, kHeader + 8> area;
    area.fill(0xEE);

    EXPECT_EQ(record.size(), 104);
    EXPECT_EQ(record.put(area.data()), area.data() + kHeader);
    EXPECT_EQ(area[kHeader], 0xEE) << "put wrote past the header";
    EXPECT_EQ(std::memcmp(area.data(), "RCRD", 4), 0);
    EXPECT_EQ(int32At(area.data(), 4), 1);
    EXPECT_EQ(int32At(area.data(), 8), ZOV_RT_NODE);
    EXPECT_EQ(std::memcmp(area.data() + 8, record.getRecordId()->bytes, 48), 0);
    EXPECT_EQ(std::memcmp(area.data() + 56, parent.getRecordId()->bytes, 48), 0);
    EXPECT_EQ(record.getSharedPosition(), area.data());

    record.undelete();
    record.put(area.data());
    EXPECT_EQ(int32At(area.data(), 4), 0);
}

TEST(RecordImage, PutThenGetReproducesTheHeader) {
    ZOV_Record original(ZOV_RT_STATISTICS, 1);
    ZOV_Record parent(ZOV_RT_NODE, 1);
    original.setParent(parent.getRecordId());
    original.markDeleted();
    std::array<unsigned char, kHeader> area{};
    original.put(area.data());

    ZOV_Record copy;
    EXPECT_EQ(copy.get(area.data()), area.data() + kHeader);
    EXPECT_EQ(std::memcmp(&copy.getHeader(), &original.getHeader(), kHeader), 0);
    EXPECT_EQ(copy.getType(), ZOV_RT_STATISTICS);
    EXPECT_EQ(copy.isDeleted(), 1);
    EXPECT_EQ(copy.isChildOf(&parent), 1);
    EXPECT_EQ(copy.getSharedPosition(), area.data());
}

TEST(RecordImage, BoundedGetRefusesATruncatedHeader) {
    ZOV_Record record(ZOV_RT_NODE, 1);
    const auto image = zovtest::imageOf(record);
    const auto accepted =
        zovtest::acceptedPrefixes(image, [] { return std::make_unique<ZOV_Record>(); });
    EXPECT_TRUE(accepted.empty());

    ZOV_Record reader;
    std::array<unsigned char, kHeader> area{};
    record.put(area.data());
    EXPECT_EQ(reader.getBounded(area.data(), area.data() + kHeader - 1), nullptr);
    EXPECT_EQ(reader.getSharedPosition(), nullptr) << "a refused read changes nothing";
    EXPECT_EQ(reader.getBounded(area.data(), area.data() + kHeader), area.data() + kHeader);
}

TEST(RecordParent, NullParentAndZeroParentField) {
    ZOV_Record parent(ZOV_RT_BROKER, 1);
    ZOV_Record child(ZOV_RT_EXECUTION_GROUP, 1);
    EXPECT_EQ(child.isChildOf(&parent), 0) << "an all-zero parent field names no record";
    child.setParent(parent.getRecordId());
    child.setParent(nullptr);
    EXPECT_EQ(child.isChildOf(&parent), 1) << "setParent(nullptr) changes nothing";
    EXPECT_EQ(child.isChildOf(nullptr), 0);
    EXPECT_EQ(parent.isChildOf(&child), 0);
}

// -------------------------------------------------------------- record IDs

TEST(RecordId, CreationTimeIsTheLocalTimeToTheMillisecond) {
    // Retry until the record was made within one second of the wall clock.
    for (int attempt = 0; attempt < 100; ++attempt) {
        timeval before = {}, after = {};
        gettimeofday(&before, nullptr);
        ZOV_Record record(ZOV_RT_STATISTICS, 1);
        gettimeofday(&after, nullptr);
        if (before.tv_sec != after.tv_sec)
            continue;

        tm local = {};
        localtime_r(&before.tv_sec, &local);
        const unsigned char* id = record.getRecordId()->bytes;
        EXPECT_EQ(int32At(id, 0), ZOV_RT_STATISTICS);
        EXPECT_EQ(int32At(id, 4), local.tm_sec);
        EXPECT_EQ(int32At(id, 8), local.tm_min);
        EXPECT_EQ(int32At(id, 12), local.tm_hour);
        EXPECT_EQ(int32At(id, 16), local.tm_mday);
        EXPECT_EQ(int32At(id, 20), local.tm_mon);
        EXPECT_EQ(int32At(id, 24), local.tm_year);
        EXPECT_EQ(int32At(id, 28), local.tm_wday);
        EXPECT_EQ(int32At(id, 32), local.tm_yday);
        EXPECT_EQ(int32At(id, 36), local.tm_isdst);
        EXPECT_GE(int32At(id, 40), before.tv_usec / 1000);
        EXPECT_LE(int32At(id, 40), after.tv_usec / 1000);
        EXPECT_EQ(int32At(id, 44), record.getRecordId()->random());
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

TEST(RecordId, WithoutGenerationOnlyTheTypeIsSet) {
    ZOV_Record record(ZOV_RT_NODE, 0);
    EXPECT_EQ(text(record.getStringRecordId()), "05000000" + std::string(88, '0'));
    const unixtime zero = {};
    EXPECT_EQ(record.isNewer(zero), 0);
}

TEST(RecordId, StringFormIs96UpperCaseHexDigitsOfTheIdBytes) {
    ZOV_Record record(ZOV_RT_EVENT_DATA, 1);
    const std::string id = text(record.getStringRecordId());
    ASSERT_EQ(id.size(), 96u);
    EXPECT_EQ(id, hexOf(*record.getRecordId()));
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

// The generator is never seeded, so two processes that start from the same
// state draw the same number; seeding by time or process id would differ.
TEST(RecordId, RandomPartIsNeverSeeded) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    auto drawInChild = [&] {
        return zovtest::runInChild([&] {
            ZOV_Record record(ZOV_RT_NODE, 1);
            const int32_t number = record.getRecordId()->random();
            return write(pipeEnds[1], &number, sizeof number) == sizeof number ? 0 : 1;
        });
    };
    ASSERT_EQ(drawInChild(), 0);
    ASSERT_EQ(drawInChild(), 0);
    int32_t first = 0, second = 0;
    ASSERT_EQ(read(pipeEnds[0], &first, sizeof first), static_cast<ssize_t>(sizeof first));
    ASSERT_EQ(read(pipeEnds[0], &second, sizeof second), static_cast<ssize_t>(sizeof second));
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(first, second);
    ZOV_Record here(ZOV_RT_NODE, 1);
    EXPECT_EQ(here.getRecordId()->random(), first);
}

// ------------------------------------------------------------ time order

unixtime timeOf(int years, int month, int day, int hours, int minutes, int seconds, int ms) {
    unixtime t = {};
    t.years = years;
    t.month = month;
    t.dayOfMonth = day;
    t.hours = hours;
    t.minutes = minutes;
    t.seconds = seconds;
    t.milliseconds = ms;
    return t;
}

TEST(RecordTime, LaterComparesFromYearsDownToMilliseconds) {
    const unixtime t = timeOf(124, 5, 15, 12, 30, 30, 500);
    struct Case {
        unixtime other;
        int tIsLater;
    };
    const Case cases[] = {
        {t, 0},
        {timeOf(124, 5, 15, 12, 30, 30, 499), 1},
        {timeOf(124, 5, 15, 12, 30, 30, 501), 0},
        {timeOf(123, 11, 31, 23, 59, 59, 999), 1},  // the year decides first
        {timeOf(125, 0, 1, 0, 0, 0, 0), 0},
        {timeOf(124, 4, 30, 23, 59, 59, 999), 1},  // then the month
        {timeOf(124, 5, 15, 11, 59, 59, 999), 1},  // then the hour
        {timeOf(124, 5, 15, 12, 31, 0, 0), 0},     // then the minute
        {timeOf(124, 5, 15, 12, 30, 29, 999), 1},  // then the second
        {timeOf(-1, 5, 15, 12, 30, 30, 500), 1},   // signed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZOV_IsLater(t, c.other), c.tIsLater)
            << c.other.years << "/" << c.other.month << "/" << c.other.dayOfMonth << " "
            << c.other.hours << ":" << c.other.minutes << ":" << c.other.seconds << "."
            << c.other.milliseconds;
    }
    unixtime sameButWeekday = t;
    sameButWeekday.dayOfWeek = 6;
    sameButWeekday.dayOfYear = 200;
    sameButWeekday.daylightSaving = 1;
    EXPECT_EQ(ZOV_IsLater(t, sameButWeekday), 0);
    EXPECT_EQ(ZOV_IsLater(sameButWeekday, t), 0);
}

TEST(RecordTime, RecordIsNotNewerThanItsOwnCreationTime) {
    ZOV_Record record(ZOV_RT_NODE, 1);
    unixtime created = record.getRecordId()->created();
    EXPECT_EQ(record.isNewer(created), 0);
    created.milliseconds -= 1;
    EXPECT_EQ(record.isNewer(created), 1);
}

// ------------------------------------------------------------ record mutex

class RecordMutexTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(ipcObjectTotal(), 0) << "IPC objects left behind"; }
    standin::LogSink log;
};

TEST_F(RecordMutexTest, GetOfAnotherIdMakesTheNextLockUseTheNewName) {
    ZOV_Record record(ZOV_RT_STATISTICS, 1);
    ZOV_Record other(ZOV_RT_STATISTICS, 1);
    ASSERT_NE(*record.getRecordId(), *other.getRecordId());
    std::array<unsigned char, kHeader> area{};

    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(record)));
    record.unlock();

    // Reading its own image again keeps the mutex.
    record.put(area.data());
    record.get(area.data());
    record.lock();
    record.unlock();
    EXPECT_EQ(ipcObjectCount("sem"), 1);

    const std::string oldKey = keyFileOf(record);
    other.put(area.data());
    record.get(area.data());
    record.lock();
    EXPECT_TRUE(fileExists(keyFileOf(other)));
    EXPECT_EQ(ipcObjectCount("sem"), 2);
    record.unlock();

    record.cleanup();
    EXPECT_FALSE(fileExists(oldKey));
    EXPECT_FALSE(fileExists(keyFileOf(other)));
}

TEST_F(RecordMutexTest, CopyAssignmentMakesTheNextLockUseTheSourceId) {
    ZOV_Record source(ZOV_RT_NODE, 1);
    ZOV_Record target(ZOV_RT_NODE, 1);
    target.lock();
    target.unlock();
    source.lock();  // the source's own mutex stays with the source

    target = source;
    EXPECT_EQ(*target.getRecordId(), *source.getRecordId());
    std::atomic<bool> entered{false};
    std::thread other([&] {
        target.lock();  // a mutex of the source's name: waits for the source
        entered = true;
        target.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());
    source.unlock();
    other.join();
    EXPECT_TRUE(entered.load());
}

// A record placed in a read-only /tmp cannot build its mutex: lock reports it
// and goes on without locking, and the next lock tries again.
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

// Counts the threads inside the critical section and remembers the most.
struct Occupancy {
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    void enter() {
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    }
    void leave() { --inside; }
};

TEST_F(RecordMutexTest, ThreadsLockingAFreshRecordAtOnceNeverShareIt) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    constexpr int kIterations = 50;
    for (int round = 0; round < kRounds; ++round) {
        ZOV_Record record(ZOV_RT_STATISTICS, 1);
        Occupancy occupancy;
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                for (int i = 0; i < kIterations; ++i) {
                    record.lock();
                    occupancy.enter();
                    std::this_thread::yield();
                    occupancy.leave();
                    record.unlock();
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
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
    constexpr int kWorkers = 7;
    constexpr int kChanges = 40;
    ZOV_Record record(ZOV_RT_STATISTICS, 1);
    ZOV_Record first(ZOV_RT_STATISTICS, 1);
    ZOV_Record second(ZOV_RT_STATISTICS, 1);
    std::array<unsigned char, kHeader> firstImage{}, secondImage{};
    first.put(firstImage.data());
    second.put(secondImage.data());

    Occupancy occupancy;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&] {
            while (!stop) {
                record.lock();
                occupancy.enter();
                std::this_thread::yield();
                occupancy.leave();
                record.unlock();
            }
        });
    }
    for (int change = 0; change < kChanges; ++change) {
        record.lock();
        occupancy.enter();
        occupancy.leave();
        record.get(change % 2 == 0 ? firstImage.data() : secondImage.data());
        record.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    for (auto& worker : workers)
        worker.join();
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

// ------------------------------------------------------------- record sets

class CountedRecord : public ZOV_Record {
  public:
    explicit CountedRecord(int& destroyed) : ZOV_Record(ZOV_RT_NODE, 1), destroyed(destroyed) {}
    ~CountedRecord() override { ++destroyed; }

  private:
    int& destroyed;
};

TEST(RecordSet, KeepsDuplicatesAndOrderAndOwnsNothingUntilClearAndDestroy) {
    int destroyed = 0;
    auto* a = new CountedRecord(destroyed);
    auto* b = new CountedRecord(destroyed);
    {
        ZOV_Ordered_Record_Set set;
        EXPECT_EQ(set.insert(b), ZOV_RC_OK);
        EXPECT_EQ(set.insert(a), ZOV_RC_OK);
        EXPECT_EQ(set.insert(b), ZOV_RC_OK);
        EXPECT_EQ(set.insert(nullptr), ZOV_RC_NULL);
        ZOV_Ordered_Record_Set_Iterator next(set);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(next(), b);
            EXPECT_EQ(next(), a);
            EXPECT_EQ(next(), b);
            EXPECT_EQ(next(), nullptr);
            EXPECT_EQ(next(), nullptr);
            next.reset();
        }
    }
    EXPECT_EQ(destroyed, 0);

    ZOV_Record_Set set;
    set.insert(a);
    set.insert(b);
    set.clearAndDestroy();
    EXPECT_EQ(destroyed, 2);
    EXPECT_TRUE(set.isEmpty());
}

TEST(RecordSet, PrintNumbersEveryMemberWhateverTheTraceSwitch) {
    standin::LogSink log;
    ZOV_Record a(ZOV_RT_NODE, 1), b(ZOV_RT_NODE, 1);
    ZOV_Record_Set set;
    set.insert(&a);
    set.insert(&b);
    set.print();
    EXPECT_EQ(log.containing("Record 1 of 2").size(), 1u);
    EXPECT_EQ(log.containing("Record 2 of 2").size(), 1u);
    EXPECT_EQ(log.containing("   R E C O R D   I D").size(), 2u);
    // Each header dump: 104 bytes in 13 lines of 8.
    EXPECT_EQ(log.ofFunction("ZOV_DumpMemory").size(), 26u);
}

}  // namespace
