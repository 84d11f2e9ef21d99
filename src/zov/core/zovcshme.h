// ZOV_Shared_Memory: the one System V shared memory segment of a broker,
// shared by every execution-group process of that broker on the machine.
//
// Segment layout, as the monitoring agent sees it (host byte order):
//   +0          64  segment header: an area header (zovcmema.h) with eyecatcher
//                   "zovcshme", size = segment size, nextOffset = first byte
//                   not yet given to an area
//   +64         S   first area carved (in practice "zovcstar", statistics)
//   +64 + S     S   second area ("zovcetar", event templates)
//   +64 + 2S    S   third area ("zovcedar", event data)
// Each area starts with its own 64-byte area header whose size field is the
// distance to the next area; a reader finds an area by walking from +64 and
// comparing eyecatchers. Bytes not yet given to an area are zero.
//
// Key file "/tmp/" + broker UUID + ".zovcshme", IPC key ftok(key file, 1),
// permissions 0660. The first process creates and formats the segment, later
// ones attach, and the last cleanup on the machine removes segment and key
// file. Within a process, objects share one mapping through the attachment
// table (zovshmsegments), counted per entry.
//
// Lock order: the segment mutex before the process's attachment mutex; never
// the segment mutex while an area lock is held.
#pragma once

#include <cstdint>
#include <string>

#include "zov/core/zovcmema.h"
#include "zov/core/zovcstrn.h"

class ZOV_Name_Mutex;
class ZOV_Shared_Area;

// "ZOVMemorySize" rule, the size S of each shared area: absent or empty
// gives 32768; the decimal value, where 4096 or less (negative values and text
// that does not start with digits included) gives 4096; a value for which the
// segment size 3 x S + 64 would not fit the headers' signed 32-bit offsets is
// reduced to the largest S that fits.
unsigned int ZOV_ConfiguredAreaSize();
inline constexpr unsigned int kZOVDefaultAreaSize = 32768;
inline constexpr unsigned int kZOVMinimumAreaSize = 4096;
inline constexpr unsigned int kZOVMaximumAreaSize = (0x7FFFFFFFu - 64) / 3;
// Segment size for an area size: header plus three areas.
inline constexpr unsigned int ZOV_SegmentSize(unsigned int areaSize) {
    return 3 * areaSize + 64;
}

// One entry of the per-process attachment table. Process memory only, so the
// natural (padded, 64-bit pointer) layout is used.
struct ZOV_Shm_Segment_Entry {
    int32_t key;        // IPC key; 0 or less marks a free entry
    int32_t segmentId;  // shared memory identifier
    void* address;      // where the segment is attached here; null when not
    uint32_t count;     // outstanding attachments by objects of this process
};
inline constexpr int kZOVSegmentTableEntries = 50;

class ZOV_Shared_Memory {
  public:
    // Prepares the object: builds the attachment mutex and reads the size.
    // The segment needs nothing of the broker but its UUID.
    explicit ZOV_Shared_Memory(const ZOV_String& brokerUuid);
    virtual ~ZOV_Shared_Memory();
    ZOV_Shared_Memory(const ZOV_Shared_Memory&) = delete;
    ZOV_Shared_Memory& operator=(const ZOV_Shared_Memory&) = delete;

    // Creates or opens the segment, attaches it, formats it (creator) or reads
    // its header. Afterwards memoryManager.status tells whether it is usable.
    virtual void init();
    // Local address of the area with `area`'s eyecatcher, carving a new one
    // of the area's size when there is none. Null when the segment is not
    // usable, when its area chain is corrupt or when the area does not fit.
    void* allocate(ZOV_Shared_Area* area);
    ZOV_String getUuid() const { return uuid; }
    int getStatus() const { return memoryManager.status; }

    // Attaches through the process's table; null when all entries are in use.
    void* zov_attach(int segmentId, int key);
    // 0 on success or when nothing had to be detached, else shmdt's result.
    int zov_dettach(void* address);
    // Detaches, removes the segment when nobody is attached any more, and
    // destroys both mutexes. Idempotent.
    void cleanup();

    // For tests and tools: the process's attachment table (read only).
    static const ZOV_Shm_Segment_Entry* segmentTable();

    ZOV_Memory_Manager memoryManager;
    ZOV_Name_Mutex* segmentMutex = nullptr;
    ZOV_String uuid;
    std::string path;  // the segment key file
    int segmentId = 0;
    ZOV_Name_Mutex* attachMutex = nullptr;

  private:
    int makeKey();
    bool createOrOpen(int key, bool* existed);
    void format();
    void adoptStoredHeader();
    void removeIfUnused();
    // Bytes of the segment this process may touch: the smaller of the header
    // size and the mapped size.
    unsigned int usableSize() const;

    unsigned int mappedSize = 0;
};
