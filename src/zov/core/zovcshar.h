// ZOV_Shared_Area: a named region of the broker's segment holding record
// images back to back.
//
// Area layout (host byte order):
//   +0           64  area header (zovcmema.h): eyecatcher, size, nextOffset,
//                    lastOffset, lastUpdate
//   +64 ...          record images end to end, no gaps or alignment: the
//                    104-byte record header (zovcrcrd.h) then the class's body
//   nextOffset       end of the records placed since formatting or the last
//                    set-back to the start (events areas)
//   lastOffset       end of the furthest record ever placed; readers walk to it
// Nothing gives a record's length: a reader takes the type from the header
// and lets the record class decode its body.
//
// Results (ZOV_ReturnCode): 0 success; 1 the walk met a record it cannot read
// among the placed records (bad "RCRD" eyecatcher, type outside 1-9, or an
// image running past the walk limit); 2 no space left, or a rewrite in place
// whose image differs in size from the image stored there; 3 no record or
// collection; 6 allocation failure; 8 area not usable.
//
// Reading never trusts the bytes: the walk limit is the smaller of the area's
// end and lastOffset (both clamped to [64, size]), every image is decoded with
// ZOV_Record::getBounded against it, and "RCRD" plus a type 1-9 is checked at
// every position. At or past nextOffset, the bytes may be the remains of
// older records overwritten by an area that started again: there a position
// without a readable record ends the walk with 0 (a stale tail).
//
// Locking: appending takes the area lock, re-entrant per thread and per area
// object on top of the named mutex "/tmp/" + area name; two area objects of
// the same name exclude each other even in one thread. Rewriting in place and
// reading take no lock (the caller holds the record's own mutex for an
// update). A record's mutex may be taken while holding the area lock (a
// reset does), never the other way round; never the segment mutex while
// holding the area lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "zov/core/zovcmema.h"
#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcstrn.h"
#include "zov/core/zovctool.h"

class ZOV_Name_Mutex;
class ZOV_Record_Collection;
class ZOV_Shared_Memory;

class ZOV_Shared_Area {
  public:
    enum Type {
        ZOV_SHARED_AREA = 0,
        ZOV_STATS_AREA = 1,
        ZOV_EVENTS_DATA_AREA = 2,
        ZOV_EVENTS_TEMPLATE_AREA = 3,
    };

    // path = "/tmp/" + name; size from "ZOVMemorySize". No IPC yet.
    explicit ZOV_Shared_Area(const ZOV_String& name);
    virtual ~ZOV_Shared_Area();
    ZOV_Shared_Area(const ZOV_Shared_Area&) = delete;
    ZOV_Shared_Area& operator=(const ZOV_Shared_Area&) = delete;

    // Finds or carves the area in the segment and builds the area mutex. An
    // area the segment cannot give leaves the object unusable (status 301).
    virtual void init(ZOV_Shared_Memory* segment);
    // Rewrites a record that has a shared position where it lies (no lock),
    // else appends it under the area lock.
    virtual ZOV_ReturnCode put(ZOV_Record* record);
    // Rereads a placed record from its position; a record never placed is
    // left unchanged (0). 1 when the image there cannot be read.
    virtual ZOV_ReturnCode get(ZOV_Record* record);
    virtual Type getType() const { return ZOV_SHARED_AREA; }

    // Writes one image at `position` when it fits before the area's end;
    // stores the position after it (or `position` itself) in *end.
    ZOV_ReturnCode writeRecord(void* position, ZOV_Record* record, void** end);
    // Rebuilds record objects from the whole area into `records` (which the
    // caller then owns), taking those created after `since`. No lock.
    ZOV_ReturnCode read(ZOV_Record_Collection* records);
    ZOV_ReturnCode read(ZOV_Record_Collection* records, unixtime since);

    // Position of the record's image when it lies wholly inside the usable
    // part of the area, else null.
    void* placedPosition(const ZOV_Record* record) const;

    void lock();
    void unlock();
    static pthread_t getThreadId() { return pthread_self(); }

    // Under the area lock, copies the area's size bytes to `destination`.
    void copyTo(void* destination);
    void dump();
    // Gives up the area mutex. Idempotent; the area's bytes stay.
    void cleanup();

    int getStatus() const { return memoryManager.status; }
    unixtime getLastUpdate() const { return memoryManager.getLastUpdate(); }
    const std::string& getPath() const { return path; }
    // The area's bytes (null before init) and their count, header included.
    const unsigned char* bytes() const {
        return static_cast<const unsigned char*>(memoryManager.address);
    }
    unsigned int getSize() const { return memoryManager.getSize(); }
    // The fill level as the shared header gives it now (bounded).
    const void* getNextPosition() const { return memoryManager.getNextPosition(); }
    int isEmpty() const { return memoryManager.isEmpty(); }
    // The 8 zero-padded eyecatcher bytes that name the area in the segment.
    const unsigned char* getEyecatcher() const {
        return memoryManager.getHeaderCopy() + ZOV_Memory_Manager::kEyecatcherOffset;
    }

    // The segment's part of carving: `position`, a zeroed stretch of
    // getSize() bytes, becomes the area's bytes with an empty header.
    void formatAt(void* position);
    // Lays the area over `size` bytes held by the caller (a reader's private
    // copy, a test's buffer) without writing them and without any IPC.
    void layOver(unsigned char* bytes, unsigned int size);

  protected:
    ZOV_Memory_Manager& memory() { return memoryManager; }
    const ZOV_Memory_Manager& memory() const { return memoryManager; }

    // The events areas' put: a record of `type` only (else 3). Appends, and
    // when the area is full sets it back to its start and appends again, all
    // under the area lock. A rewrite in place is never retried, and a record
    // that cannot fit even the empty area reports 2, the area left as it was.
    ZOV_ReturnCode putStartingAgain(ZOV_Record* record, ZOV_RecordType type);
    // put(), and when the area is full, the set-back and a second put under
    // one more (re-entrant) take of the area lock.
    ZOV_ReturnCode putOrStartAgain(ZOV_Record* record);
    // The walk limit for readers: area end or lastOffset, whichever is first.
    const unsigned char* readLimit() const;
    // Where the records placed since the last set-back end (clamped).
    const unsigned char* placedEnd() const;

  private:
    // The tests' seam into the header object (tests/support/area_access.h),
    // for the faults and set-backs no operation makes.
    friend struct ZOV_Area_Test_Access;

    [[gnu::cold, gnu::noinline]] bool loseAreaMutex();

    ZOV_Memory_Manager memoryManager;
    std::string path;
    ZOV_Name_Mutex* areaMutex = nullptr;
    // Stands in for areaMutex when it could not be built: the threads of
    // this process still exclude each other, other processes are not held.
    std::mutex processLock;
    // areaMutex while it can be taken; null after a take failed (its set
    // removed): processLock then stands in, so a failed take is never
    // treated as held.
    std::atomic<ZOV_Name_Mutex*> usableMutex{nullptr};
    bool processLockHeld = false;  // written by the lock's holder only
    // Several threads of a process share one area object.
    std::atomic<pthread_t> ownerThread{0};
    std::atomic<int> lockCount{0};

    ZOV_ReturnCode appendFitting(ZOV_Record* record);
    ZOV_ReturnCode rewrite(ZOV_Record* record);
    ZOV_ReturnCode walk(ZOV_Record_Collection* records, const unixtime& since);
};

class ZOV_REIR;
struct ZOV_Resource_ID;

// What the library knows of one stored record type, kept in one table: how
// far its image reaches, and its class.
struct ZOV_Record_Kind {
    ZOV_RecordType type;
    // The end of the image at `position`; null when it does not end before
    // `limit` (null: no bound). Reads only the string counts.
    const unsigned char* (*skipImage)(const unsigned char* position, const void* limit);
    // A new record of the class without a record ID; null when it cannot be
    // allocated.
    ZOV_Record* (*makeEmpty)();
    // Copies `from` into `to`, both of the class.
    void (*assign)(ZOV_Record& to, const ZOV_Record& from);
    // The resource kinds only (else null): a new information record of the
    // class for the identity `id`, as the resource tree makes them.
    ZOV_REIR* (*makeResource)(const ZOV_Resource_ID* id);
};
// The kind of a stored type 1-9, else null.
const ZOV_Record_Kind* ZOV_RecordKind(ZOV_RecordType type);

// Size in bytes of the image of a record of `type` stored at `position`,
// decoding the string counts without reading at or beyond `limit`; -1 when
// the image does not fit or the type has no image. No allocation.
int ZOV_StoredImageSize(ZOV_RecordType type, const void* position, const void* limit);

// The reader's walk over an area's bytes held anywhere (a private copy): the
// area header at `area`, `size` bytes in all. It meets the record images that
// read() would rebuild, in the same order and with the same checks ("RCRD",
// type 1-9, image within the walk limit, the stale tail), without building a
// record or touching an IPC object. The caller keeps the bytes unchanged
// while it walks.
class ZOV_Area_Image_Walk {
  public:
    ZOV_Area_Image_Walk(const unsigned char* area, uint32_t size);

    // Steps to the next readable image; false at the end of the walk.
    bool next();
    // The image met by the last next() that returned true.
    const unsigned char* position() const { return current; }
    int size() const { return currentSize; }
    ZOV_RecordType type() const { return currentType; }
    // Where the walk stands: after the last image met, or at an unreadable one.
    const unsigned char* end() const { return cursor; }
    // ZOV_RC_OK, or ZOV_RC_NOT_FOUND once the walk stopped at an unreadable
    // image among the placed records (at end()).
    ZOV_ReturnCode result() const { return stopped; }

  private:
    const unsigned char* cursor;
    const unsigned char* limit;
    const unsigned char* placed;
    const unsigned char* current = nullptr;
    int currentSize = 0;
    ZOV_RecordType currentType = ZOV_RT_RECORD;
    ZOV_ReturnCode stopped = ZOV_RC_OK;
};
