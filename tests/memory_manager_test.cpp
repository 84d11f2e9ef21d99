// The area header and fill level on a plain array standing in for shared memory.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <thread>

#include "zov/core/zovcmema.h"

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
    void SetUp() override { format(manager); }
    void format(ZOV_Memory_Manager& m) {
        m.setSize(kAreaSize);
        m.setEyecatcher("zovcstar");
        m.setAddress(A);
        m.setNextPosition(m.getFirstPosition());
    }
    unsigned char* at(int offset) { return A + offset; }

    std::array<unsigned char, kAreaSize> area{};
    unsigned char* const A = area.data();
    ZOV_Memory_Manager manager;
};

TEST_F(MemoryManagerTest, FormattedAreaHeaderAndPositions) {
    const time_t now = time(nullptr);
    tm local = {};
    localtime_r(&now, &local);
    unsigned char expected[24] = "zovcstar";
    for (auto [offset, value] : {std::pair{8, 1}, {12, kAreaSize}, {16, 64}, {20, 64}})
        putInt32(expected, offset, value);
    EXPECT_EQ(std::memcmp(A, expected, sizeof expected), 0);
    // lastUpdate: the date fields of the local time (a second may have passed).
    EXPECT_EQ((std::array{int32At(A, 36), int32At(A, 40), int32At(A, 44), int32At(A, 52)}),
              (std::array{local.tm_mday, local.tm_mon, local.tm_year, local.tm_yday}));
    EXPECT_LT(int32At(A, 24 + 36), 1000) << "milliseconds";
    EXPECT_EQ(A[64], 0) << "nothing written past the header";
    EXPECT_EQ(std::memcmp(manager.getHeaderCopy(), A, 64), 0);

    EXPECT_EQ(manager.getLastPosition(), at(64));
    EXPECT_EQ(manager.getLastAvailablePosition(), at(kAreaSize));
    EXPECT_EQ(manager.getAvailableBytes(), kAreaSize - 64);
    EXPECT_EQ(manager.isEmpty(), 1);

    // At most eight bytes of eyecatcher, a shorter one padded.
    ZOV_Memory_Manager named;
    named.setEyecatcher("zovcstarXYZ");
    EXPECT_EQ(std::memcmp(named.getHeaderCopy(), "zovcstar\1\0\0\0", 12), 0);
    named.setEyecatcher("abc");
    named.setEyecatcher(nullptr);
    EXPECT_EQ(std::memcmp(named.getHeaderCopy(), "abc\0\0\0\0\0", 8), 0);
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

// lastOffset is the highest nextOffset either of two owners (processes) has set.
TEST_F(MemoryManagerTest, HighWaterMarkIsKeptAcrossMovesAndOwners) {
    ZOV_Memory_Manager other;
    format(other);
    other.setNextPosition(at(500));
    manager.setNextPosition(at(300));
    manager.setNextPosition(at(64));
    EXPECT_EQ(int32At(A, 16), 64);
    EXPECT_EQ(int32At(A, 20), 500);
    EXPECT_EQ(manager.getLastPosition(), at(500));
    EXPECT_EQ(manager.isEmpty(), 0);
}

TEST_F(MemoryManagerTest, CorruptOffsetsNeverLeadOutsideTheArea) {
    const std::pair<int32_t, int> cases[] = {{-1000, 64},     {63, 64},
                                             {200, 200},      {kAreaSize + 1, kAreaSize},
                                             {INT32_MIN, 64}, {INT32_MAX, kAreaSize}};
    for (const auto& [stored, expected] : cases) {
        putInt32(A, 16, stored);
        putInt32(A, 20, stored);
        EXPECT_EQ(manager.getNextPosition(), at(expected)) << stored;
        EXPECT_EQ(manager.getLastPosition(), at(expected)) << stored;
        EXPECT_GE(manager.getAvailableBytes(), 0) << stored;
    }
}

// A reader without the lock asking about the fill level through the holder's
// object must not change what the holder writes.
TEST_F(MemoryManagerTest, UnlockedReaderDoesNotDisturbTheHolderWriteBack) {
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
    for (int i = 0; i < 200000; ++i) {
        const int next = 64 + 8 * (i % 1000);
        manager.setNextPosition(at(next));
        lost += int32At(A, 16) != next;
        manager.getHeader();
        putInt32(A, 16, 0);  // what the holder writes back is its copy, not this
        manager.putHeader();
        lost += int32At(A, 16) != next;
    }
    stop = true;
    reader.join();
    EXPECT_EQ(lost, 0);
}

}  // namespace
