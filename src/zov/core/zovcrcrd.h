// ZOV_Record: base of every record whose image lives in shared memory.
//
// Record header, 104 bytes at the start of every record image (packed, host
// byte order):
//   +0   4   eyecatcher "RCRD", no terminator
//   +4   4   deleted flag, int32: 1 deleted, 0 live
//   +8   48  record ID of this record
//   +56  48  record ID of the parent record; all zero when there is none
// The body of the record's class follows at +104. Nothing in the header gives
// the record's length: a reader takes the type from the record ID and lets the
// class read its body.
//
// Record ID, 48 bytes:
//   +0   4   record type (ZOV_RecordType, int32)
//   +4   40  creation time (unixtime)
//   +44  4   random number (int32, from random(), never seeded)
//
// unixtime, 40 bytes: ten int32 — seconds, minutes, hours, day of month,
// month (0-11), years since 1900, day of week, day of year, daylight-saving
// flag (the nine fields of the local broken-down time), milliseconds.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zov/core/zovcstrn.h"
#include "zov/core/zovctool.h"

class ZOV_Name_Mutex;

enum ZOV_RecordType : int32_t {
    ZOV_RT_RECORD = 0,  // bare record, never stored
    ZOV_RT_RESOURCE = 1,
    ZOV_RT_BROKER = 2,
    ZOV_RT_EXECUTION_GROUP = 3,
    ZOV_RT_MESSAGE_FLOW = 4,
    ZOV_RT_NODE = 5,
    ZOV_RT_STATISTICS = 6,
    ZOV_RT_EVENT_TEMPLATE = 7,
    ZOV_RT_EVENT_DATA = 8,
    ZOV_RT_EVENT_INFORMATION = 9,
};

struct unixtime {
    int32_t seconds;
    int32_t minutes;
    int32_t hours;
    int32_t dayOfMonth;
    int32_t month;
    int32_t years;  // since 1900
    int32_t dayOfWeek;
    int32_t dayOfYear;
    int32_t daylightSaving;
    int32_t milliseconds;
};
static_assert(sizeof(unixtime) == 40);

// Byte offsets of the unixtime fields in an image.
inline constexpr int kUnixtimeSecondsOffset = 0;
inline constexpr int kUnixtimeMinutesOffset = 4;
inline constexpr int kUnixtimeHoursOffset = 8;
inline constexpr int kUnixtimeDayOfMonthOffset = 12;
inline constexpr int kUnixtimeMonthOffset = 16;
inline constexpr int kUnixtimeYearsOffset = 20;
inline constexpr int kUnixtimeDayOfWeekOffset = 24;
inline constexpr int kUnixtimeDayOfYearOffset = 28;
inline constexpr int kUnixtimeDaylightSavingOffset = 32;
inline constexpr int kUnixtimeMillisecondsOffset = 36;
inline constexpr int kUnixtimeSize = 40;

// A unixtime image at `image` + `offset` (the structure's own layout).
unixtime ZOV_LoadUnixtime(const void* image, size_t offset);
void ZOV_StoreUnixtime(void* image, size_t offset, const unixtime& t);

// The current local time to the millisecond (gettimeofday, localtime_r),
// returned or stored as an image at `image` + `offset`.
unixtime ZOV_LocalUnixtime();
void ZOV_StoreLocalUnixtime(void* image, size_t offset);

// Local times of one clock reading. localtime_r walks the time-zone rules at
// every call; within one second its answer cannot change (offsets change on
// whole seconds, and localtime_r reads the rules once per process), so the
// last second converted is kept. Not shared: one object per thread, or one
// used only under a lock.
class ZOV_Local_Clock {
  public:
    // The local time of `now` to the millisecond.
    const unixtime& local(const struct timeval& now);

  private:
    long seconds = -1;
    unixtime converted = {};
};
// 1 when `a` is strictly later than `b`, comparing years, month, day, hours,
// minutes, seconds, milliseconds (signed); the other fields take no part.
int ZOV_IsLater(const unixtime& a, const unixtime& b);

// A record ID as it lies in the header: 48 bytes, read through accessors.
struct ZOV_Record_ID {
    static constexpr int kTypeOffset = 0;
    static constexpr int kCreatedOffset = 4;
    static constexpr int kRandomOffset = 44;
    static constexpr int kSize = 48;

    unsigned char bytes[kSize];

    // Inline: every put checks the type.
    ZOV_RecordType type() const {
        int32_t value = 0;
        std::memcpy(&value, bytes + kTypeOffset, sizeof value);
        return static_cast<ZOV_RecordType>(value);
    }
    unixtime created() const;
    int32_t random() const;
    bool operator==(const ZOV_Record_ID& other) const;
    bool operator!=(const ZOV_Record_ID& other) const { return !(*this == other); }
};
static_assert(sizeof(ZOV_Record_ID) == 48 && alignof(ZOV_Record_ID) == 1);

// The first four bytes of every record image.
inline constexpr char kZOVRecordEyecatcher[4] = {'R', 'C', 'R', 'D'};

struct ZOV_Record_Header {
    static constexpr int kEyecatcherOffset = 0;
    static constexpr int kDeletedOffset = 4;
    static constexpr int kRecordIdOffset = 8;
    static constexpr int kParentIdOffset = 56;
    static constexpr int kSize = 104;

    char eyecatcher[4];
    unsigned char deleted[4];
    ZOV_Record_ID recordId;
    ZOV_Record_ID parentId;
};
static_assert(sizeof(ZOV_Record_Header) == ZOV_Record_Header::kSize);
static_assert(offsetof(ZOV_Record_Header, recordId) == ZOV_Record_Header::kRecordIdOffset);
static_assert(offsetof(ZOV_Record_Header, parentId) == ZOV_Record_Header::kParentIdOffset);

class ZOV_Record {
  public:
    explicit ZOV_Record(ZOV_RecordType type = ZOV_RT_RECORD, int generateId = 0);
    virtual ~ZOV_Record();
    ZOV_Record(const ZOV_Record&) = delete;
    // Copies the header and the shared position; marks the mutex stale when
    // the record ID changes. The target keeps its own mutex object.
    ZOV_Record& operator=(const ZOV_Record& other);

    // Image size in bytes.
    virtual int size() const;
    // Reads the whole image at `position`; returns the position after it.
    virtual void* get(void* position) { return getBounded(position, nullptr); }
    // As get, but reads nothing at or beyond `limit` (null: no limit). Returns
    // null, reading nothing beyond the limit, when the image does not fit;
    // the object's fields are then unspecified but valid. Derived classes
    // override this, not get.
    virtual void* getBounded(void* position, const void* limit);
    // Writes the whole image at `position`; returns the position after it.
    virtual void* put(void* position);
    virtual void print();

    ZOV_RecordType getType() const { return header.recordId.type(); }
    const ZOV_Record_ID* getRecordId() const { return &header.recordId; }
    const ZOV_Record_ID* getParentId() const { return &header.parentId; }
    const ZOV_Record_Header& getHeader() const { return header; }
    int isDeleted() const;
    void markDeleted();
    void undelete();
    void setParent(const ZOV_Record_ID* parent);
    int isChildOf(const ZOV_Record* other) const;
    int isNewer(const unixtime& t) const;
    ZOV_String getStringRecordId() const;
    // Draws a new creation time and random number for this record's ID (as the
    // constructor does with generateId) and marks the mutex stale. Used to
    // draw again when a new ID collides with one already in an area.
    void generateRecordId();

    void* getSharedPosition() const { return sharedPosition; }

    // Writes at `position` the header that a new record of `type` built with
    // an ID created at `created` and numbered `number`, its parent set to
    // `parent`, would put there; in image order, without building the object.
    static void putNewHeader(void* position, ZOV_RecordType type, const unixtime& created,
                             int32_t number, const ZOV_Record_ID& parent);

    // False when the record's mutex could not be built or taken: it is not
    // held, unlock() must not follow, and the caller serialises otherwise.
    bool lock();
    void unlock();
    // The record's mutex taken without the thread's note of it: the caller
    // hands the result to release(). Null when not taken, as for lock().
    ZOV_Name_Mutex* acquire();
    static void release(ZOV_Name_Mutex* taken);
    ZOV_ReturnCode initializeMutex();
    void cleanup();

  protected:
    // Header transfer for derived classes: reads or writes the 104 header
    // bytes and returns the position after them (null when `limit` is given
    // and the header does not fit before it).
    void* getHeaderImage(void* position, const void* limit);
    void* putHeaderImage(void* position);

    ZOV_Record_Header header;

  private:
    // Stale-flag transitions of the mutex scheme (zovcrcrd.cpp).
    void markMutexStale();
    void finishMutexBuild(bool built);
    void reportUnlocked() const;

    void* sharedPosition = nullptr;
    // The named mutex is built lazily by lock() and rebuilt after the record ID
    // changed. Several threads may lock one record object at once, so the
    // pointer and the stale flag are atomic; mutexes replaced while another
    // thread may still hold them are kept until cleanup. The stale flag is
    // 0 ready, 1 stale, 2 being built, 3 being built and stale again, 4
    // failed for this ID; the
    // whole scheme is described in zovcrcrd.cpp above lock().
    std::atomic<ZOV_Name_Mutex*> mutex{nullptr};
    std::atomic<int> mutexStale{1};
    std::vector<ZOV_Name_Mutex*> retiredMutexes;
};
