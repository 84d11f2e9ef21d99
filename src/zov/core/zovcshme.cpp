#include "zov/core/zovcshme.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "zov/core/zovcdegr.h"
#include "zov/core/zovcmutx.h"
#include "zov/core/zovcshar.h"
#include "zov/core/zovctool.h"
#include "zov/core/zovctrus.h"

static constexpr char _ZOV_UNIT_[] = "zovcshme";

namespace {

constexpr char kSegmentSuffix[] = ".zovcshme";
constexpr int kPermissions = 0660;

// A segment exists under `key` (or one this process may not see).
bool segmentKeyInUse(key_t key) {
    return shmget(key, 0, 0) >= 0 || errno != ENOENT;
}
constexpr int kHeaderSize = ZOV_Memory_Manager::kHeaderSize;

// The process's attachment table, shared by every ZOV_Shared_Memory object.
ZOV_Shm_Segment_Entry zovshmsegments[kZOVSegmentTableEntries];
int zovshmsegmentsinitialized = 0;
// The named attachment mutex is what the other processes see; this one keeps
// the table consistent inside the process even when that mutex could not be
// built (its get and release then fail and are only logged).
std::mutex zovshmsegmentsGuard;

void* const kShmatFailed = reinterpret_cast<void*>(-1);

bool isAttached(const void* address) {
    return address != nullptr && address != kShmatFailed;
}

// Decimal value of a configuration word as atoi reads it, saturated at
// `ceiling`; `negative` tells a leading minus sign.
unsigned long long parseDecimal(const char* text, unsigned long long ceiling, bool* negative) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    *negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    unsigned long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + static_cast<unsigned long long>(*text - '0');
        if (value > ceiling)
            value = ceiling + 1;
    }
    return value;
}

// Takes the attachment mutex of the process for the lifetime of the object.
class AttachLock {
  public:
    // The table is the process's own; a failed take (reported) leaves the
    // in-process guard alone holding it.
    explicit AttachLock(ZOV_Name_Mutex* mutex) : mutex(mutex), guard(zovshmsegmentsGuard) {
        if (mutex != nullptr && !mutex->get())
            this->mutex = nullptr;
    }
    ~AttachLock() {
        if (mutex != nullptr)
            mutex->release();
    }
    AttachLock(const AttachLock&) = delete;
    AttachLock& operator=(const AttachLock&) = delete;

  private:
    ZOV_Name_Mutex* mutex;
    std::lock_guard<std::mutex> guard;
};

void dumpTable() {
    if (bZOVTracing)
        ZOV_DumpMemory(zovshmsegments, sizeof zovshmsegments, "zovshmsegments table");
}

}  // namespace

unsigned int ZOV_ConfiguredAreaSize() {
    static constexpr char fn[] = "ZOV_ConfiguredAreaSize";
    ZOV_ENTRY(fn);
    ZOV_String value = ZOV_ConfigValue("ZOVMemorySize");
    const char* text = value.getcValue();
    unsigned int size = kZOVDefaultAreaSize;
    if (text == nullptr) {
        // The value could not be held: the default size may not be the one
        // the segment was made with, and attaching it then fails.
        ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    if (text != nullptr && *text != 0) {
        bool negative = false;
        const unsigned long long parsed = parseDecimal(text, kZOVMaximumAreaSize, &negative);
        if (negative || parsed <= kZOVMinimumAreaSize) {
            size = kZOVMinimumAreaSize;
        } else if (parsed > kZOVMaximumAreaSize) {
            size = kZOVMaximumAreaSize;
            ZOV_TRACE(fn, "ZOVMemorySize %s reduced to %u", text, size);
        } else {
            size = static_cast<unsigned int>(parsed);
        }
    }
    ZOV_EXIT_RC(fn, size);
    return size;
}

ZOV_Shared_Memory::ZOV_Shared_Memory(const ZOV_String& brokerUuid) : uuid(brokerUuid) {
    static constexpr char fn[] = "ZOV_Shared_Memory::ZOV_Shared_Memory";
    ZOV_ENTRY(fn);
    char name[32];
    std::snprintf(name, sizeof name, "zov_attach_%i", static_cast<int>(getpid()));
    attachMutex = new (std::nothrow) ZOV_Name_Mutex(name);
    if (attachMutex == nullptr)
        ZOV_LOG_ALLOCATION_ERROR(fn);

    ZOV_String narrow(uuid);
    const char* text = brokerUuid.status == 0 && uuid.status == 0 ? narrow.getcValue() : nullptr;
    if (text == nullptr) {
        // Without the UUID the key file would name another broker's segment.
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.status = ZOV_STATUS_FAILED;
    }
    // The string allocates with the throwing operator: a path that cannot be
    // held fails the object like a UUID that cannot.
    try {
        path = std::string("/tmp/") + (text != nullptr ? text : "") + kSegmentSuffix;
    } catch (const std::bad_alloc&) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.status = ZOV_STATUS_FAILED;
    }

    memoryManager.setSize(ZOV_SegmentSize(ZOV_ConfiguredAreaSize()));
    memoryManager.setEyecatcher(kZOVSegmentEyecatcher);
    ZOV_EXIT(fn);
}

ZOV_Shared_Memory::~ZOV_Shared_Memory() {
    static constexpr char fn[] = "ZOV_Shared_Memory::~ZOV_Shared_Memory";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Shared_Memory::init() {
    static constexpr char fn[] = "ZOV_Shared_Memory::init";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Initializing shared memory segment");
    if (memoryManager.status != 0 || isAttached(memoryManager.address)) {
        // A failed object is never repaired, and a second init must not
        // attach twice.
        ZOV_EXIT(fn);
        return;
    }
    segmentMutex = new (std::nothrow) ZOV_Name_Mutex(path.c_str());
    if (segmentMutex == nullptr) {
        ZOV_TRACE(fn, "Can't create Mutex");
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.status = ZOV_STATUS_FAILED;
        ZOV_EXIT(fn);
        return;
    }
    if (segmentMutex->status != 0) {
        ZOV_TRACE(fn, "Mutex NOT OK");
        memoryManager.status = ZOV_STATUS_FAILED;
        segmentMutex->cleanup();
        delete segmentMutex;
        segmentMutex = nullptr;
        ZOV_EXIT(fn);
        return;
    }
    ZOV_TRACE(fn, "Mutex OK");

    // Not held (reported by get): the segment is neither made nor attached.
    if (!segmentMutex->get()) {
        memoryManager.status = ZOV_STATUS_FAILED;
        ZOV_EXIT(fn);
        return;
    }
    memoryManager.address = nullptr;
    bool existed = false;
    const int key = makeKey();
    if (key >= 0 && createOrOpen(key, &existed)) {
        void* address = zov_attach(segmentId, key);
        if (!isAttached(address)) {
            ZOV_LOG_SYSTEM_FAILED("zov_attach", fn);
            memoryManager.status = ZOV_STATUS_FAILED;
        } else {
            ZOV_TRACE(fn, "zov_attach adddress = 0x%lX", reinterpret_cast<unsigned long>(address));
            memoryManager.address = address;
            struct shmid_ds state {};
            mappedSize = shmctl(segmentId, IPC_STAT, &state) == 0
                             ? static_cast<unsigned int>(state.shm_segsz)
                             : memoryManager.getSize();
            if (existed) {
                adoptStoredHeader();
            } else {
                format();
            }
        }
    }
    segmentMutex->release();
    ZOV_EXIT(fn);
}

// The IPC key of the segment key file, creating the file when it is missing;
// -1 (logged) when there is none or it is refused. A new key file gets a key
// under which no segment exists yet: two brokers whose key files shared a key
// would share one segment.
int ZOV_Shared_Memory::makeKey() {
    static constexpr char fn[] = "ZOV_Shared_Memory::init";
    const ZOV_Key_File_Lock keyFile(path.c_str(), segmentKeyInUse, fn);
    const key_t key = keyFile.key();
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(keyFile.madeFile() ? -1 : key),
              path.c_str());
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(key), path.c_str());
    if (!keyFile.held()) {
        memoryManager.status = ZOV_STATUS_FAILED;  // reported by the lock
        return -1;
    }
    return key;
}

// Creates the segment, or opens it when another process was first. An
// existing segment is checked before anything attaches it: one of another
// user, or open to more than owner and group, is refused and left alone.
bool ZOV_Shared_Memory::createOrOpen(int key, bool* existed) {
    static constexpr char fn[] = "ZOV_Shared_Memory::init";
    const size_t size = memoryManager.getSize();
    segmentId = shmget(key, size, IPC_CREAT | IPC_EXCL | kPermissions);
    int error = errno;
    if (segmentId < 0 && error == EEXIST) {
        *existed = true;
        segmentId = shmget(key, 0, 0);
        struct shmid_ds found {};
        if (segmentId >= 0 && shmctl(segmentId, IPC_STAT, &found) == 0 &&
            !ZOV_TrustIpcObject(found.shm_perm, "shared memory segment", key, path.c_str(), fn)) {
            memoryManager.status = ZOV_STATUS_FAILED;
            segmentId = 0;
            return false;
        }
        // Same call as a first opener: a segment smaller than configured fails.
        segmentId = shmget(key, size, kPermissions);
        error = errno;
        if (segmentId < 0)
            ZOV_LOG_SYSTEM_FAILED("shmget", fn);
    }
    if (segmentId < 0) {
        if (error == ENOSPC || error == ENOMEM)
            ZOV_ReportDegraded(ZOV_Degraded::kIpcLimit, fn, "shmget");
        ZOV_TRACE(fn, "shmget failed. ID %i Error %i", segmentId, error);
        memoryManager.status = ZOV_STATUS_FAILED;
        segmentId = 0;
        return false;
    }
    ZOV_TRACE(fn, "Shared area successfully created. ID %i", segmentId);
    return true;
}

// Zero-fills the new segment and writes a fresh header (nextOffset and
// lastOffset 64).
void ZOV_Shared_Memory::format() {
    std::memset(memoryManager.address, 0, usableSize());
    memoryManager.setNextPosition(memoryManager.getFirstPosition());
}

// Takes over the header of a segment another process made. A segment whose
// creator never formatted it (all zero) is formatted now; a stored size that
// the mapping cannot hold is clamped to the mapping. A segment holding
// anything else is another program's: it is detached and left as it is.
void ZOV_Shared_Memory::adoptStoredHeader() {
    static constexpr char fn[] = "ZOV_Shared_Memory::init";
    const unsigned int configured = memoryManager.getSize();
    memoryManager.getHeader();
    if (std::memcmp(memoryManager.getHeaderCopy() + ZOV_Memory_Manager::kEyecatcherOffset,
                    kZOVSegmentEyecatcher, ZOV_Memory_Manager::kEyecatcherSize) != 0) {
        const auto* bytes = static_cast<const unsigned char*>(memoryManager.address);
        if (std::any_of(bytes, bytes + mappedSize, [](unsigned char b) { return b != 0; })) {
            ZOV_String detail = ZOV_Format_Message(
                "Segment %i under key of %s is not a monitoring segment: left as it is", segmentId,
                path.c_str());
            ZOV_LOG_CALL_FAILED("zov_attach", fn, detail.getcValue());
            // Never formatted, and never removed by cleanup.
            zov_dettach(memoryManager.address);
            memoryManager.address = nullptr;
            segmentId = 0;
            memoryManager.status = ZOV_STATUS_FAILED;
            return;
        }
        ZOV_TRACE(fn, "No segment header: formatting");
        memoryManager.setEyecatcher(kZOVSegmentEyecatcher);
        memoryManager.setSize(configured);
        format();
        return;
    }
    const unsigned int stored = memoryManager.getSize();
    if (stored < static_cast<unsigned int>(kHeaderSize) || stored > mappedSize) {
        ZOV_TRACE(fn, "Stored size %u clamped to %u", stored, mappedSize);
        memoryManager.setSize(mappedSize);
    }
}

unsigned int ZOV_Shared_Memory::usableSize() const {
    const unsigned int size = memoryManager.getSize();
    return size < mappedSize ? size : mappedSize;
}

void* ZOV_Shared_Memory::allocate(ZOV_Shared_Area* area) {
    static constexpr char fn[] = "ZOV_Shared_Memory::allocate";
    ZOV_ENTRY(fn);
    if (area == nullptr || memoryManager.status != 0 || !isAttached(memoryManager.address)) {
        ZOV_EXIT_PTR(fn, nullptr);
        return nullptr;
    }
    if (segmentMutex != nullptr && !segmentMutex->get()) {
        ZOV_EXIT_PTR(fn, nullptr);
        return nullptr;  // carving needs the lock; reported by get
    }

    auto* const base = static_cast<unsigned char*>(memoryManager.address);
    unsigned char* const end = base + usableSize();
    const unsigned char* eyecatcher = area->getEyecatcher();

    // Walk the areas from +64: a zero byte, or no room for another header,
    // ends the chain; a size that does not lead to a later header inside
    // the segment means the chain is corrupt and nothing may be carved.
    unsigned char* position = base + kHeaderSize;
    void* result = nullptr;
    bool corrupt = false;
    while (end - position >= kHeaderSize && *position != 0) {
        uint32_t size = 0;
        std::memcpy(&size, position + ZOV_Memory_Manager::kSizeOffset, sizeof size);
        if (size < static_cast<uint32_t>(kHeaderSize) ||
            size > static_cast<size_t>(end - position)) {
            ZOV_TRACE(fn, "Area chain broken at offset %ld", static_cast<long>(position - base));
            corrupt = true;
            break;
        }
        if (std::memcmp(position, eyecatcher, ZOV_Memory_Manager::kEyecatcherSize) == 0) {
            result = position;
            break;
        }
        position += size;
    }

    const unsigned int areaSize = area->getSize();
    if (result == nullptr && !corrupt) {
        if (areaSize < static_cast<unsigned int>(kHeaderSize) ||
            areaSize > static_cast<size_t>(end - position)) {
            ZOV_TRACE(fn, "No room for an area of %u bytes", areaSize);
        } else {
            // Carve where the chain ends (the segment's next position in a
            // sound segment; the chain wins over a damaged header field).
            std::memset(position, 0, areaSize);
            area->formatAt(position);
            memoryManager.setNextPosition(position + areaSize);
            result = position;
        }
    }

    if (segmentMutex != nullptr)
        segmentMutex->release();
    ZOV_EXIT_PTR(fn, result);
    return result;
}

namespace {

// The first entry no object of this process has attached, or the table size.
int firstDetachedEntry() {
    int index = 0;
    while (index < kZOVSegmentTableEntries && zovshmsegments[index].address != nullptr)
        ++index;
    return index;
}

}  // namespace

void* ZOV_Shared_Memory::zov_attach(int id, int key) {
    static constexpr char fn[] = "ZOV_Shared_Memory::zov_attach";
    ZOV_ENTRY(fn);
    void* address = nullptr;
    {
        AttachLock lock(attachMutex);
        dumpTable();
        if (!zovshmsegmentsinitialized) {
            std::memset(zovshmsegments, 0, sizeof zovshmsegments);
            zovshmsegmentsinitialized = 1;
        }
        // Stop at the first free entry or at the entry of this key; an entry
        // of this key whose attachment is gone (detached, or a segment made
        // again under another identifier) is reused.
        int index = 0;
        while (index < kZOVSegmentTableEntries && zovshmsegments[index].key > 0) {
            ZOV_Shm_Segment_Entry& entry = zovshmsegments[index];
            if (entry.key == key) {
                if (entry.segmentId == id && entry.address != nullptr) {
                    address = entry.address;
                    ++entry.count;
                }
                break;
            }
            ++index;
        }
        // A full table without this key: keys that never come back (each
        // segment made again gets a new key file, so a new key) would
        // otherwise use it up, and then no node of this process could attach.
        // Their detached entries are given to the new key.
        if (address == nullptr && index == kZOVSegmentTableEntries)
            index = firstDetachedEntry();
        if (address == nullptr && index < kZOVSegmentTableEntries) {
            ZOV_Shm_Segment_Entry& entry = zovshmsegments[index];
            entry.key = key;
            entry.segmentId = id;
            entry.address = shmat(id, nullptr, 0);
            entry.count = 1;
            address = entry.address;
            ZOV_TRACE(fn, "shmat adddress = 0x%lX", reinterpret_cast<unsigned long>(address));
        } else if (address == nullptr) {
            ZOV_TRACE(fn, "Attachment table full");
        }
        dumpTable();
    }
    ZOV_EXIT_PTR(fn, address);
    return address;
}

int ZOV_Shared_Memory::zov_dettach(void* address) {
    static constexpr char fn[] = "ZOV_Shared_Memory::zov_dettach";
    ZOV_ENTRY(fn);
    int result = 0;
    {
        AttachLock lock(attachMutex);
        dumpTable();
        for (int index = 0; address != nullptr && index < kZOVSegmentTableEntries; ++index) {
            ZOV_Shm_Segment_Entry& entry = zovshmsegments[index];
            if (entry.address != address)
                continue;
            if (entry.count > 0)
                --entry.count;
            if (entry.count == 0) {
                result = shmdt(address);
                // The key stays, so the entry keeps its place in the table.
                entry.segmentId = 0;
                entry.address = nullptr;
            }
            break;
        }
        dumpTable();
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

// Under the segment mutex, after this process's detach: removes the segment
// and its key file when no process is attached any more.
void ZOV_Shared_Memory::removeIfUnused() {
    static constexpr char fn[] = "ZOV_Shared_Memory::cleanup";
    struct shmid_ds state {};
    if (shmctl(segmentId, IPC_STAT, &state) != 0) {
        ZOV_LOG_SYSTEM_FAILED("shmctl IPC_STAT", fn);
        return;
    }
    if (state.shm_nattch != 0)
        return;
    // The key file goes only while it is still this user's own file.
    const ZOV_Key_File_Lock keyFile(path.c_str(), nullptr, fn);
    if (shmctl(segmentId, IPC_RMID, nullptr) != 0) {
        ZOV_LOG_SYSTEM_FAILED("shmgctl IPC_RMID", fn);
    } else if (keyFile.held() && unlink(path.c_str()) != 0) {
        ZOV_LOG_SYSTEM_FAILED("unlink", fn);
    }
}

void ZOV_Shared_Memory::cleanup() {
    static constexpr char fn[] = "ZOV_Shared_Memory::cleanup";
    ZOV_ENTRY(fn);
    // A mutex that could not be taken leaves the segment detached, not removed.
    const bool taken = segmentMutex != nullptr && segmentMutex->get();
    if (isAttached(memoryManager.address)) {
        if (zov_dettach(memoryManager.address) != 0)
            ZOV_LOG_SYSTEM_FAILED("zov_dettach", fn);
        if (taken || segmentMutex == nullptr)
            removeIfUnused();
    }
    if (taken)
        segmentMutex->release();
    segmentId = 0;
    memoryManager.address = nullptr;
    for (ZOV_Name_Mutex** mutex : {&attachMutex, &segmentMutex}) {
        if (*mutex == nullptr)
            continue;
        (*mutex)->cleanup();
        delete *mutex;
        *mutex = nullptr;
    }
    memoryManager.cleanup();
    ZOV_EXIT(fn);
}

const ZOV_Shm_Segment_Entry* ZOV_Shared_Memory::segmentTable() {
    return zovshmsegments;
}
