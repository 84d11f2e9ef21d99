// The area header and fill level: header image, positions and the space check
// at the end of the area, the high-water mark, the time stamp of every write,
// corrupt offsets, and readers without the lock beside a lock holder. All on
// a plain array standing in for shared memory.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <thread>

#include "zov/zovcmema.h"

namespace {

constexpr int kAreaSize = 32768;

int32_t int32At(const unsigned char* image, size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, image + offset, sizeof value);
    return value;
}

void putInt32(unsigned char* image, size_t offset, int32_t value) {
    std::memcpy(image + offset, &value, sizeof value);
}

class MemoryManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        area.fill(0);
        format(manager);
    }
    // What an owner does with a fresh, zero-filled area.
    void format(ZOV_Memory_Manager& m) {
        m.setSize(kAreaSize);
        m.setEyecatcher("zovcstar");
        m.setAddress(A);
        m.setNextPosition(m.getFirstPosition());
    }
    unsigned char* at(int offset) { return A + offset; }

    std::array<unsigned char, kAreaSize> area;
    unsigned char* const A = area.data();
    ZOV_Memory_Manager manager;
};

TEST_F(MemoryManagerTest, FormattedAreaHeaderAndPositions) {
    timeval now = {};
    gettimeofday(&now, nullptr);
    tm local = {};
    localtime_r(&now.tv_sec, &local);

    EXPECT_EQ(std::memcmp(A, "zovcstar", 8), 0);
    EXPECT_EQ(int32At(A, 8), 1);
    EXPECT_EQ(int32At(A, 12), static_cast<int32_t>(kAreaSize));
    EXPECT_EQ(int32At(A, 16), 64);
    EXPECT_EQ(int32At(A, 20), 64);
    // lastUpdate: the date fields of the local time (the clock may have moved
    // on by a second since the write, not by a day in any plausible run).
    EXPECT_EQ(int32At(A, 24 + 12), local.tm_mday);
    EXPECT_EQ(int32At(A, 24 + 16), local.tm_mon);
    EXPECT_EQ(int32At(A, 24 + 20), local.tm_year);
    EXPECT_EQ(int32At(A, 24 + 28), local.tm_yday);
    EXPECT_LT(int32At(A, 24 + 36), 1000);
    EXPECT_EQ(A[64], 0) << "nothing written past the header";
    EXPECT_EQ(std::memcmp(manager.getHeaderCopy(), A, 64), 0);

    EXPECT_EQ(manager.getFirstPosition(), at(64));
    EXPECT_EQ(manager.getNextPosition(), at(64));
    EXPECT_EQ(manager.getLastPosition(), at(64));
    EXPECT_EQ(manager.getLastAvailablePosition(), at(kAreaSize));
    EXPECT_EQ(manager.getAvailableBytes(), 32704);
    EXPECT_EQ(manager.isEmpty(), 1);
}

TEST(MemoryManagerEyecatcher, KeepsAtMostEightBytesAndZeroPadsShortNames) {
    ZOV_Memory_Manager longName;
    longName.setEyecatcher("zovcstarXYZ");
    EXPECT_EQ(std::memcmp(longName.getHeaderCopy(), "zovcstar", 8), 0);
    EXPECT_EQ(int32At(longName.getHeaderCopy(), 8), 1) << "reserved word untouched";

    ZOV_Memory_Manager shortName;
    shortName.setEyecatcher("abc");
    EXPECT_EQ(std::memcmp(shortName.getHeaderCopy(), "abc\0\0\0\0\0", 8), 0);
    shortName.setEyecatcher(nullptr);
    EXPECT_EQ(std::memcmp(shortName.getHeaderCopy(), "abc", 3), 0);
}

TEST_F(MemoryManagerTest, SpaceCheckAcceptsExactlyWhatEndsAtTheAreaEnd) {
    EXPECT_EQ(manager.isEnoughSpace(at(kAreaSize - 208), 208), 1);
    EXPECT_EQ(manager.isEnoughSpace(at(kAreaSize - 207), 208), 0);
    EXPECT_EQ(manager.isEnoughSpace(at(kAreaSize), 0), 1);
    EXPECT_EQ(manager.isEnoughSpace(at(64), kAreaSize - 64), 1);
    EXPECT_EQ(manager.isEnoughSpace(at(64), kAreaSize - 63), 0);
    // Neither end may wrap, and nothing is handed out over the header.
    EXPECT_EQ(manager.isEnoughSpace(at(64), UINT_MAX), 0);
    EXPECT_EQ(manager.isEnoughSpace(at(0), 8), 0);
    EXPECT_EQ(manager.isEnoughSpace(at(63), 8), 0);
}

TEST_F(MemoryManagerTest, LastOffsetIsTheHighWaterMark) {
    manager.setNextPosition(at(272));
    manager.setNextPosition(at(64));
    EXPECT_EQ(int32At(A, 16), 64);
    EXPECT_EQ(int32At(A, 20), 272);
    EXPECT_EQ(manager.getNextPosition(), at(64));
    EXPECT_EQ(manager.getLastPosition(), at(272));
    EXPECT_EQ(manager.isEmpty(), 0);
}

// Two owners of one area (two processes): the one that moves the free
// position second must not lower the mark the first one set.
TEST_F(MemoryManagerTest, HighWaterMarkIsReadFromSharedMemoryAtEveryMove) {
    ZOV_Memory_Manager other;
    other.setSize(kAreaSize);
    other.setEyecatcher("zovcstar");
    other.setAddress(A);
    other.setNextPosition(at(500));
    manager.setNextPosition(at(300));
    EXPECT_EQ(int32At(A, 16), 300);
    EXPECT_EQ(int32At(A, 20), 500);
}

TEST_F(MemoryManagerTest, EveryHeaderWriteRenewsTheTimeStamp) {
    const unixtime first = manager.getLastUpdate();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.setNextPosition(manager.getNextPosition());  // nothing moves
    const unixtime second = manager.getLastUpdate();
    EXPECT_EQ(ZOV_IsLater(second, first), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.getHeader();
    manager.putHeader();
    EXPECT_EQ(ZOV_IsLater(manager.getLastUpdate(), second), 1);
}

TEST_F(MemoryManagerTest, CorruptOffsetsNeverLeadOutsideTheArea) {
    const struct {
        int32_t stored;
        int expected;
    } cases[] = {
        {-1000, 64},
        {0, 64},
        {63, 64},
        {200, 200},
        {kAreaSize, kAreaSize},
        {kAreaSize + 1, kAreaSize},
        {INT32_MAX, kAreaSize},
        {INT32_MIN, 64},
    };
    for (const auto& c : cases) {
        putInt32(A, 16, c.stored);
        putInt32(A, 20, c.stored);
        EXPECT_EQ(manager.getNextPosition(), at(c.expected)) << c.stored;
        EXPECT_EQ(manager.getLastPosition(), at(c.expected)) << c.stored;
        EXPECT_GE(manager.getAvailableBytes(), 0) << c.stored;
    }
}

// A lock holder moves the free position again and again while another
// thread, without the lock, keeps asking about the fill level through the
// same object. Each write must put exactly the holder's values into the area.
TEST_F(MemoryManagerTest, UnlockedReaderDoesNotDisturbTheHolderWriteBack) {
    constexpr int kWrites = 200000;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            manager.getNextPosition();
            manager.getLastPosition();
            manager.getLastUpdate();
            manager.isEmpty();
            manager.getAvailableBytes();
        }
    });
    int lost = 0;
    for (int i = 0; i < kWrites; ++i) {
        const int next = 64 + 8 * (i % 1000);
        manager.setNextPosition(at(next));
        if (int32At(A, 16) != next)
            ++lost;
        manager.getHeader();
        putInt32(A, 16, 0);  // what the holder writes back is its copy, not this
        manager.putHeader();
        if (int32At(A, 16) != next)
            ++lost;
    }
    stop = true;
    reader.join();
    EXPECT_EQ(lost, 0);
}

}  // namespace
