// ZOV_STIR: statistics information record (type 6), the accumulated
// measurements of the messages that passed one node: count, sizes, elapsed
// and queued times, first and last collection.
//
// Image (packed, host byte order), 200 bytes:
//   +0    104  record header (zovcrcrd.h), type 6
//   +104  16   message count, binary128
//   +120  16   sum of sizes (bytes), binary128
//   +136  4    maximum size, int32
//   +140  4    minimum size, int32
//   +144  16   sum of elapsed times (ms), binary128
//   +160  4    maximum elapsed time, int32
//   +164  4    minimum elapsed time, int32
//   +168  16   sum of queued times (ms), binary128
//   +184  4    maximum queued time, int32
//   +188  4    minimum queued time, int32
//   +192  4    first collection, uint32, seconds since 1901; 0 = none since reset
//   +196  4    last collection, uint32, seconds since 1901; 0 = none
// The binary128 values are whole numbers; 0.0 is sixteen zero bytes.
//
// The per-message path (updateImage; get, updateStatistics, put while
// tracing) allocates nothing and formats no text while tracing is off.
#pragma once

#include <cstdint>

#include "zov/core/zovcrcrd.h"

class ZOV_STIR : public ZOV_Record {
  public:
    static constexpr int kMessageCountOffset = 104;
    static constexpr int kSumSizeOffset = 120;
    static constexpr int kMaxSizeOffset = 136;
    static constexpr int kMinSizeOffset = 140;
    static constexpr int kSumElapsedOffset = 144;
    static constexpr int kMaxElapsedOffset = 160;
    static constexpr int kMinElapsedOffset = 164;
    static constexpr int kSumQueuedOffset = 168;
    static constexpr int kMaxQueuedOffset = 184;
    static constexpr int kMinQueuedOffset = 188;
    static constexpr int kFirstCollectionOffset = 192;
    static constexpr int kLastCollectionOffset = 196;
    static constexpr int kSize = 200;
    // The message count at which updates stop: 2^31 - 1.
    static constexpr int kMaximumCount = 2147483647;

    explicit ZOV_STIR(int generateId);
    // Copies the header, resets, then merges the source: a source with first
    // collection 0 leaves the target reset.
    ZOV_STIR& operator=(const ZOV_STIR& other);

    int size() const override { return kSize; }
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    // All sums, maxima, minima and both collection times 0; the header stays.
    void reset();
    // Adds one message (times in seconds, size in bytes). ZOV_RC_MAXIMUM when
    // the count has reached kMaximumCount: nothing changes then.
    ZOV_ReturnCode updateStatistics(double queuedTime, double elapsedTime, int size);
    // The count has reached kMaximumCount.
    bool isAtMaximum() const;
    // Merges another record's statistics into this one; a source with first
    // collection 0 changes nothing.
    ZOV_STIR& operator+=(const ZOV_STIR& other);

    // The per-message update in place: reads the body of the placed image at
    // `position` (the caller holds the record's mutex and has checked that
    // the image lies in its area), adds one message as updateStatistics does
    // (without its trace lines: the caller takes this way only while tracing
    // is off) and writes the body back. The header is neither read nor written: an
    // update never changes it. This object is left equal to the new body.
    ZOV_ReturnCode updateImage(void* position, double queuedTime, double elapsedTime, int size);

    // Seconds to whole milliseconds: truncated, negative -> 0, NaN and values
    // at or above 2147483647 ms -> 2147483647.
    static int32_t toMilliseconds(double seconds);

    __float128 getMessageCount() const { return messageCount; }
    __float128 getSumSize() const { return sumSize; }
    int32_t getMaxSize() const { return maxSize; }
    int32_t getMinSize() const { return minSize; }
    __float128 getSumElapsed() const { return sumElapsed; }
    int32_t getMaxElapsed() const { return maxElapsed; }
    int32_t getMinElapsed() const { return minElapsed; }
    __float128 getSumQueued() const { return sumQueued; }
    int32_t getMaxQueued() const { return maxQueued; }
    int32_t getMinQueued() const { return minQueued; }
    uint32_t getFirstCollection() const { return firstCollection; }
    uint32_t getLastCollection() const { return lastCollection; }

  private:
    // updateStatistics without its trace lines.
    [[gnu::always_inline]] inline ZOV_ReturnCode applyMessage(double queuedTime, double elapsedTime,
                                                              int size);
    [[gnu::always_inline]] inline void loadBody(const void* position);
    [[gnu::always_inline]] inline void storeBody(void* position) const;

    __float128 messageCount = 0;
    __float128 sumSize = 0;
    int32_t maxSize = 0;
    int32_t minSize = 0;
    __float128 sumElapsed = 0;
    int32_t maxElapsed = 0;
    int32_t minElapsed = 0;
    __float128 sumQueued = 0;
    int32_t maxQueued = 0;
    int32_t minQueued = 0;
    uint32_t firstCollection = 0;
    uint32_t lastCollection = 0;
};
