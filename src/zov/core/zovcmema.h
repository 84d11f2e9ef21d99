// ZOV_Memory_Manager: the 64-byte header and fill level of one stretch of
// shared memory (the whole segment, or one area inside it).
//
// Area header, 64 bytes (packed, host byte order):
//   +0   8   eyecatcher, ASCII, zero-padded: "zovcshme", "zovcstar", "zovcetar", "zovcedar"
//   +8   4   reserved, int32, always 1
//   +12  4   size, uint32: bytes of the stretch, header included
//   +16  4   nextOffset, int32: first free byte from the header start; 64 when empty
//   +20  4   lastOffset, int32: high-water mark of nextOffset since formatting
//   +24  40  lastUpdate, unixtime of the last header write
//
// Concurrency: the questions about the fill level (getNextPosition,
// getLastPosition, getLastUpdate, isEmpty, getAvailableBytes) read the shared
// header on every call (the one field they need, or a copy of their own) and
// never touch the object's copy, so unlocked readers cannot disturb a lock holder. setNextPosition,
// called only under the lock that guards the stretch, reads lastOffset afresh
// from shared memory, writes the whole header and updates the object's copy.
//
// Bounds: offsets read from shared memory are kept inside [64, size] (size
// from the object's copy), and isEnoughSpace accepts only pieces that start
// after the header and end at or before address + size, so a corrupt header
// cannot send a caller outside the stretch. getHeader() adopts the stored
// size; an owner that calls it must trust that size (or check it against
// what is mapped).
#pragma once

#include <cstdint>
#include <cstring>

#include "zov/core/zovcrcrd.h"

// The eyecatchers of the segment's header and of its areas' headers.
inline constexpr char kZOVSegmentEyecatcher[] = "zovcshme";
inline constexpr char kZOVStatsAreaEyecatcher[] = "zovcstar";
inline constexpr char kZOVTemplateAreaEyecatcher[] = "zovcetar";
inline constexpr char kZOVEventDataAreaEyecatcher[] = "zovcedar";

class ZOV_Memory_Manager {
  public:
    static constexpr int kEyecatcherOffset = 0;
    static constexpr int kEyecatcherSize = 8;
    static constexpr int kReservedOffset = 8;
    static constexpr int kSizeOffset = 12;
    static constexpr int kNextOffsetOffset = 16;
    static constexpr int kLastOffsetOffset = 20;
    static constexpr int kLastUpdateOffset = 24;
    static constexpr int kHeaderSize = 64;

    ZOV_Memory_Manager();

    void setSize(unsigned int size);
    void setEyecatcher(const char* name);
    void setAddress(void* address);

    void* getFirstPosition() const;
    void* getNextPosition() const;
    void* getLastPosition() const;
    void* getLastAvailablePosition() const;
    int getAvailableBytes() const;
    int isEnoughSpace(const void* position, unsigned int bytes) const;
    void setNextPosition(const void* position);
    // The same with `stamp` as lastUpdate, for a caller that read the clock
    // under the same lock; writes no trace line.
    void setNextPosition(const void* position, const unixtime& stamp);
    // Refreshes the object's copy from shared memory (under the guarding lock).
    void getHeader();
    // Stamps the time and writes the object's copy to shared memory.
    void putHeader();
    unixtime getLastUpdate() const;
    int isEmpty() const;
    void cleanup();

    // The object's copy of the header fields.
    // Inline: every append and rewrite asks for it.
    unsigned int getSize() const {
        uint32_t size = 0;
        std::memcpy(&size, header + kSizeOffset, sizeof size);
        return size;
    }
    const unsigned char* getHeaderCopy() const { return header; }

    int status = 0;
    void* address = nullptr;

  private:
    void readSharedHeader(unsigned char* copy) const;
    int32_t boundedOffset(const unsigned char* copy, int fieldOffset) const;
    int32_t sharedOffset(int fieldOffset) const;
    // Puts nextOffset and the high-water mark into the object's copy.
    void storeNextOffset(const void* position);

    unsigned char header[kHeaderSize];
};
