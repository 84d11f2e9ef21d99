#include "zov/core/zovcrcrd.h"

#include <sys/time.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "zov/core/zovcdegr.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcmutx.h"

static constexpr char _ZOV_UNIT_[] = "zovcrcrd";

namespace {

constexpr int kStringIdLength = 2 * ZOV_Record_ID::kSize;  // 96 hex digits

// States of ZOV_Record::mutexStale.
constexpr int kMutexReady = 0;          // `mutex` names the current record ID
constexpr int kMutexStale = 1;          // must be built before the next lock
constexpr int kMutexBuilding = 2;       // one thread is building it
constexpr int kMutexBuildingStale = 3;  // the ID changed again during the build
constexpr int kMutexFailed = 4;         // no mutex for this ID: lock() fails at once

// The record mutexes this thread holds, innermost last, so that unlock()
// releases exactly the mutex object that lock() took even when the record's
// mutex has been rebuilt in between. Fixed size: locking allocates nothing.
// Deeper nesting is not recorded; unlock() then falls back to the record's
// current mutex.
struct HeldMutex {
    const ZOV_Record* record;
    ZOV_Name_Mutex* mutex;
};
constexpr int kHeldDepth = 16;
struct HeldMutexes {
    HeldMutex entries[kHeldDepth] = {};
    int count = 0;
};
thread_local HeldMutexes heldMutexes;

// In a shared library every access to a thread-local variable is a call into
// the dynamic linker, which the compiler repeats freely: the address is taken
// once per operation, here.
[[gnu::noinline]] HeldMutexes& heldStack() {
    return heldMutexes;
}

void pushHeld(const ZOV_Record* record, ZOV_Name_Mutex* mutex) {
    HeldMutexes& held = heldStack();
    if (held.count < kHeldDepth)
        held.entries[held.count++] = {record, mutex};
}

// Removes the innermost entry of `record`; false when there is none.
bool popHeld(const ZOV_Record* record, ZOV_Name_Mutex*& mutex) {
    HeldMutexes& held = heldStack();
    for (int i = held.count - 1; i >= 0; --i) {
        if (held.entries[i].record == record) {
            mutex = held.entries[i].mutex;
            for (int j = i + 1; j < held.count; ++j)
                held.entries[j - 1] = held.entries[j];
            --held.count;
            return true;
        }
    }
    return false;
}

}  // namespace

// The image is the structure's own layout (ten int32 in member order), so
// one copy moves it.
static_assert(sizeof(unixtime) == kUnixtimeSize &&
              offsetof(unixtime, seconds) == kUnixtimeSecondsOffset &&
              offsetof(unixtime, minutes) == kUnixtimeMinutesOffset &&
              offsetof(unixtime, hours) == kUnixtimeHoursOffset &&
              offsetof(unixtime, dayOfMonth) == kUnixtimeDayOfMonthOffset &&
              offsetof(unixtime, month) == kUnixtimeMonthOffset &&
              offsetof(unixtime, years) == kUnixtimeYearsOffset &&
              offsetof(unixtime, dayOfWeek) == kUnixtimeDayOfWeekOffset &&
              offsetof(unixtime, dayOfYear) == kUnixtimeDayOfYearOffset &&
              offsetof(unixtime, daylightSaving) == kUnixtimeDaylightSavingOffset &&
              offsetof(unixtime, milliseconds) == kUnixtimeMillisecondsOffset);

unixtime ZOV_LoadUnixtime(const void* image, size_t offset) {
    unixtime t;
    std::memcpy(&t, static_cast<const unsigned char*>(image) + offset, sizeof t);
    return t;
}

void ZOV_StoreUnixtime(void* image, size_t offset, const unixtime& t) {
    std::memcpy(static_cast<unsigned char*>(image) + offset, &t, sizeof t);
}

const unixtime& ZOV_Local_Clock::local(const struct timeval& now) {
    if (seconds != now.tv_sec) {
        const time_t whole = now.tv_sec;
        struct tm tm = {};
        localtime_r(&whole, &tm);
        converted = unixtime{tm.tm_sec,  tm.tm_min,  tm.tm_hour, tm.tm_mday,  tm.tm_mon,
                             tm.tm_year, tm.tm_wday, tm.tm_yday, tm.tm_isdst, 0};
        seconds = now.tv_sec;
    }
    converted.milliseconds = static_cast<int32_t>(now.tv_usec / 1000);
    return converted;
}

namespace {

// Every event is stamped twice when it goes the general way (its record ID
// and the area's last update): each thread keeps its own clock.
thread_local ZOV_Local_Clock threadClock;

// In a shared library every access to a thread-local variable is a call into
// the dynamic linker: one lookup per call.
[[gnu::noinline]] ZOV_Local_Clock& localClock() {
    return threadClock;
}

}  // namespace

void ZOV_StoreLocalUnixtime(void* image, size_t offset) {
    struct timeval now = {};
    gettimeofday(&now, nullptr);
    const unixtime& local = localClock().local(now);
    std::memcpy(static_cast<unsigned char*>(image) + offset, &local, sizeof local);
}

unixtime ZOV_LocalUnixtime() {
    unixtime t;
    ZOV_StoreLocalUnixtime(&t, 0);
    return t;
}

int ZOV_IsLater(const unixtime& a, const unixtime& b) {
    const int32_t unixtime::*const order[] = {
        &unixtime::years,   &unixtime::month,   &unixtime::dayOfMonth,  &unixtime::hours,
        &unixtime::minutes, &unixtime::seconds, &unixtime::milliseconds};
    for (const auto field : order) {
        if (a.*field != b.*field)
            return a.*field > b.*field ? 1 : 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// ZOV_Record_ID: the 48 bytes as they lie in the header.

unixtime ZOV_Record_ID::created() const {
    return ZOV_LoadUnixtime(bytes, kCreatedOffset);
}

int32_t ZOV_Record_ID::random() const {
    int32_t value = 0;
    ZOV_LoadField(bytes, kRandomOffset, value);
    return value;
}

bool ZOV_Record_ID::operator==(const ZOV_Record_ID& other) const {
    return std::memcmp(bytes, other.bytes, kSize) == 0;
}

// ---------------------------------------------------------------------------
// ZOV_Record

ZOV_Record::ZOV_Record(ZOV_RecordType type, int generateId) {
    static constexpr char fn[] = "ZOV_Record::ZOV_Record";
    ZOV_ENTRY(fn);
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.eyecatcher, kZOVRecordEyecatcher, sizeof kZOVRecordEyecatcher);
    ZOV_StoreField(header.recordId.bytes, ZOV_Record_ID::kTypeOffset, static_cast<int32_t>(type));
    if (generateId != 0)
        generateRecordId();
    ZOV_EXIT(fn);
}

ZOV_Record::~ZOV_Record() {
    static constexpr char fn[] = "ZOV_Record::~ZOV_Record";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

ZOV_Record& ZOV_Record::operator=(const ZOV_Record& other) {
    if (this != &other) {
        // The mutex is named after the record ID: the same ID keeps it (a
        // rebuild of the tree copies every stored record over its object).
        const bool sameId = header.recordId == other.header.recordId;
        std::memcpy(&header, &other.header, sizeof header);
        sharedPosition = other.sharedPosition;
        if (!sameId)
            markMutexStale();
    }
    return *this;
}

void ZOV_Record::generateRecordId() {
    static constexpr char fn[] = "ZOV_Record::generateRecordId";
    ZOV_ENTRY(fn);
    // The generator is never seeded: every process draws the same sequence,
    // and the local time to the millisecond tells the IDs apart.
    ZOV_StoreLocalUnixtime(header.recordId.bytes, ZOV_Record_ID::kCreatedOffset);
    const int32_t number = static_cast<int32_t>(::random());
    ZOV_StoreField(header.recordId.bytes, ZOV_Record_ID::kRandomOffset, number);
    markMutexStale();
    ZOV_EXIT(fn);
}

void ZOV_Record::putNewHeader(void* position, ZOV_RecordType type, const unixtime& created,
                              int32_t number, const ZOV_Record_ID& parent) {
    auto* image = static_cast<unsigned char*>(position);
    unsigned char* id = image + ZOV_Record_Header::kRecordIdOffset;
    std::memcpy(image + ZOV_Record_Header::kEyecatcherOffset, kZOVRecordEyecatcher,
                sizeof kZOVRecordEyecatcher);
    ZOV_StoreField(image, ZOV_Record_Header::kDeletedOffset, int32_t{0});
    ZOV_StoreField(id, ZOV_Record_ID::kTypeOffset, static_cast<int32_t>(type));
    ZOV_StoreUnixtime(id, ZOV_Record_ID::kCreatedOffset, created);
    ZOV_StoreField(id, ZOV_Record_ID::kRandomOffset, number);
    std::memcpy(image + ZOV_Record_Header::kParentIdOffset, parent.bytes, ZOV_Record_ID::kSize);
}

int ZOV_Record::size() const {
    return ZOV_Record_Header::kSize;
}

void* ZOV_Record::getBounded(void* position, const void* limit) {
    return getHeaderImage(position, limit);
}

void* ZOV_Record::put(void* position) {
    return putHeaderImage(position);
}

void* ZOV_Record::getHeaderImage(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_Record::get";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    if (position != nullptr && ZOV_ImageFits(position, limit, ZOV_Record_Header::kSize)) {
        const ZOV_Record_ID before = header.recordId;
        sharedPosition = position;
        std::memcpy(&header, position, ZOV_Record_Header::kSize);
        // The mutex is named after the record ID.
        if (header.recordId != before)
            markMutexStale();
        next = static_cast<unsigned char*>(position) + ZOV_Record_Header::kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_Record::putHeaderImage(void* position) {
    static constexpr char fn[] = "ZOV_Record::put";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    if (position != nullptr) {
        sharedPosition = position;
        std::memcpy(position, &header, ZOV_Record_Header::kSize);
        next = static_cast<unsigned char*>(position) + ZOV_Record_Header::kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_Record::print() {
    static constexpr char fn[] = "ZOV_Record::print";
    ZOV_ENTRY(fn);
    ZOV_PRINT(fn, "   R E C O R D   I D");
    ZOV_DumpMemory(&header, ZOV_Record_Header::kSize, nullptr);
    ZOV_EXIT(fn);
}

int ZOV_Record::isDeleted() const {
    int32_t flag = 0;
    ZOV_LoadField(header.deleted, 0, flag);
    return flag != 0 ? 1 : 0;
}

void ZOV_Record::markDeleted() {
    ZOV_StoreField(header.deleted, 0, int32_t{1});
}

void ZOV_Record::undelete() {
    ZOV_StoreField(header.deleted, 0, int32_t{0});
}

void ZOV_Record::setParent(const ZOV_Record_ID* parent) {
    static constexpr char fn[] = "ZOV_Record::setParent";
    ZOV_ENTRY(fn);
    if (parent != nullptr)
        std::memcpy(&header.parentId, parent, ZOV_Record_ID::kSize);
    ZOV_EXIT(fn);
}

int ZOV_Record::isChildOf(const ZOV_Record* other) const {
    static constexpr char fn[] = "ZOV_Record::isChildOf";
    ZOV_ENTRY(fn);
    const int result = other != nullptr && header.parentId == other->header.recordId ? 1 : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_Record::isNewer(const unixtime& t) const {
    static constexpr char fn[] = "ZOV_Record::isNewer";
    ZOV_ENTRY(fn);
    const int result = ZOV_IsLater(header.recordId.created(), t);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_String ZOV_Record::getStringRecordId() const {
    static constexpr char fn[] = "ZOV_Record::getStringRecordId";
    ZOV_ENTRY(fn);
    ZOV_String result;
    char* buffer = new (std::nothrow) char[kStringIdLength + 1]();
    if (buffer == nullptr) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
    } else {
        for (int i = 0; i < ZOV_Record_ID::kSize; ++i) {
            std::snprintf(buffer + 2 * i, 3, "%02X", header.recordId.bytes[i]);
        }
        result = buffer;
        ZOV_TRACE(fn, "Record ID %s", buffer);
        delete[] buffer;
    }
    ZOV_EXIT(fn);
    return result;
}

// Record mutex scheme.
//
// Several threads may lock one record object at once (the statistics record of
// a node is shared by the message threads of that node), and a get() that
// brings another record ID, or a copy-assignment, makes the mutex stale while
// others may be using it. The per-message path (a built mutex) must take no
// in-process lock. So:
//  - `mutexStale` is 0 ready, 1 stale, 2 being built, 3 being built and stale
//    again. Marking stale turns 0 into 1 and 2 into 3 (compare-and-swap).
//  - lock(): while the flag is 1, exactly one thread wins the swap 1 -> 2 and
//    builds (initializeMutex); the others wait while it is 2 or 3. The builder
//    publishes the new mutex and ends with 2 -> 0, or 3 -> 1 so that the
//    newer ID is built next. A failed build ends with 4 (reported once):
//    from then on lock() fails at once, without building again per message,
//    and the caller takes the area lock instead. Only a new ID (4 -> 1)
//    tries again. A take that fails on a built mutex (its set removed) ends
//    the same way.
//  - With the flag 0, lock() loads the mutex, takes it, and then checks that
//    the flag is still 0 and the mutex still the same; if the mutex was
//    rebuilt while it waited, it releases the old one and starts over. So once
//    a rebuild is published, nobody enters through the mutex of the old ID.
//  - The replaced mutex is retired, not destroyed: a thread may still be
//    waiting on it or about to release it. Retired mutexes keep their handle
//    until cleanup().
//  - lock() records (record, mutex) on a small thread-local stack and unlock()
//    releases exactly that mutex object, never a newer one that this thread
//    did not take. acquire() and release() skip the stack: the caller keeps
//    the mutex object itself, which saves the per-message path a thread-local
//    lookup.
ZOV_Name_Mutex* ZOV_Record::acquire() {
    static constexpr char fn[] = "ZOV_Record::lock";
    for (;;) {
        int state = mutexStale.load(std::memory_order_acquire);
        if (state == kMutexReady) {
            ZOV_Name_Mutex* const taken = mutex.load(std::memory_order_acquire);
            if (taken == nullptr) {  // a rebuild has just begun
                std::this_thread::yield();
                continue;
            }
            if (!taken->get()) [[unlikely]] {
                int ready = kMutexReady;
                if (mutexStale.compare_exchange_strong(ready, kMutexFailed,
                                                       std::memory_order_acq_rel))
                    reportUnlocked();
                return nullptr;
            }
            if (mutexStale.load(std::memory_order_acquire) == kMutexReady &&
                mutex.load(std::memory_order_acquire) == taken) {
                return taken;
            }
            taken->release();  // rebuilt while this thread waited
        } else if (state == kMutexStale && mutexStale.compare_exchange_strong(
                                               state, kMutexBuilding, std::memory_order_acq_rel)) {
            const ZOV_ReturnCode rc = initializeMutex();
            if (rc != ZOV_RC_OK) {
                ZOV_PRINT(fn, "Error %i building Mutex", static_cast<int>(rc));
                reportUnlocked();
                return nullptr;  // not held: the caller serialises otherwise
            }
        } else if (state == kMutexFailed) {
            return nullptr;
        } else if (state != kMutexStale) {
            std::this_thread::yield();  // another thread is building
        }
    }
}

// Said once per record ID and process: its updates are serialised by the
// area lock from now on.
void ZOV_Record::reportUnlocked() const {
    static constexpr char fn[] = "ZOV_Record::lock";
    ZOV_String name = getStringRecordId();
    ZOV_ReportDegraded(ZOV_Degraded::kLockFallback, fn, name.getcValue());
}

void ZOV_Record::release(ZOV_Name_Mutex* taken) {
    if (taken != nullptr)
        taken->release();
}

bool ZOV_Record::lock() {
    static constexpr char fn[] = "ZOV_Record::lock";
    ZOV_ENTRY(fn);
    ZOV_Name_Mutex* const taken = acquire();
    if (taken != nullptr)
        pushHeld(this, taken);
    ZOV_EXIT(fn);
    return taken != nullptr;
}

void ZOV_Record::unlock() {
    static constexpr char fn[] = "ZOV_Record::unlock";
    ZOV_ENTRY(fn);
    ZOV_Name_Mutex* taken = nullptr;
    if (!popHeld(this, taken))
        taken = mutex.load(std::memory_order_acquire);
    release(taken);
    ZOV_EXIT(fn);
}

void ZOV_Record::markMutexStale() {
    int state = mutexStale.load(std::memory_order_relaxed);
    for (;;) {
        int next = state;
        if (state == kMutexReady || state == kMutexFailed)
            next = kMutexStale;
        if (state == kMutexBuilding)
            next = kMutexBuildingStale;
        if (next == state)
            return;
        if (mutexStale.compare_exchange_weak(state, next, std::memory_order_acq_rel))
            return;
    }
}

// Ends a build: ready when it succeeded and the ID stayed, stale again when
// the ID changed meanwhile, else failed for this ID.
void ZOV_Record::finishMutexBuild(bool built) {
    int state = mutexStale.load(std::memory_order_relaxed);
    for (;;) {
        const int next = state == kMutexBuildingStale ? kMutexStale
                         : built                      ? kMutexReady
                                                      : kMutexFailed;
        if (mutexStale.compare_exchange_weak(state, next, std::memory_order_acq_rel))
            return;
    }
}

// Called by lock() as the single builder (flag 2 or 3); a direct call is for
// a record that no other thread is locking.
ZOV_ReturnCode ZOV_Record::initializeMutex() {
    static constexpr char fn[] = "ZOV_Record::initializeMutex";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode rc = ZOV_RC_OK;
    ZOV_String name = getStringRecordId();
    bool roomToRetire = true;
    try {
        retiredMutexes.reserve(retiredMutexes.size() + 1);
    } catch (const std::bad_alloc&) {
        roomToRetire = false;
    }
    if (name.isEmpty() || name.getcValue() == nullptr || !roomToRetire) {
        // No name means the ID text could not be allocated (already logged).
        if (!roomToRetire)
            ZOV_LOG_ALLOCATION_ERROR(fn);
        rc = ZOV_RC_ALLOCATION;
    } else {
        ZOV_Name_Mutex* const old = mutex.exchange(nullptr, std::memory_order_acq_rel);
        if (old != nullptr)
            retiredMutexes.push_back(old);  // capacity reserved above
        ZOV_Name_Mutex* const fresh = new (std::nothrow) ZOV_Name_Mutex(name.getcValue());
        if (fresh == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            rc = ZOV_RC_ALLOCATION;
        } else if (fresh->status != 0) {
            delete fresh;
            rc = ZOV_RC_MUTEX;
        } else {
            mutex.store(fresh, std::memory_order_release);
        }
    }
    finishMutexBuild(rc == ZOV_RC_OK);
    ZOV_EXIT_RC(fn, rc);
    return rc;
}

void ZOV_Record::cleanup() {
    static constexpr char fn[] = "ZOV_Record::cleanup";
    ZOV_ENTRY(fn);
    delete mutex.exchange(nullptr, std::memory_order_acq_rel);
    for (ZOV_Name_Mutex* retired : retiredMutexes)
        delete retired;
    retiredMutexes.clear();
    mutexStale.store(kMutexStale, std::memory_order_release);
    ZOV_EXIT(fn);
}
