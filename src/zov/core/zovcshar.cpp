#include "zov/core/zovcshar.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

#include "zov/core/zovcbrir.h"
#include "zov/core/zovcdegr.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcmutx.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcreir.h"
#include "zov/core/zovcshme.h"
#include "zov/core/zovcstir.h"

static constexpr char _ZOV_UNIT_[] = "zovcshar";

namespace {

constexpr int kHeaderSize = ZOV_Memory_Manager::kHeaderSize;

// Skips a string image (uint32 count n, n 16-bit units, 16-bit zero) at
// `position`; null when it does not end before `limit`.
const unsigned char* skipString(const unsigned char* position, const void* limit) {
    if (position == nullptr || !ZOV_ImageFits(position, limit, sizeof(uint32_t)))
        return nullptr;
    uint32_t count = 0;
    std::memcpy(&count, position, sizeof count);
    const size_t bytes = ZOV_String::kImageOverhead + 2 * static_cast<size_t>(count);
    return ZOV_ImageFits(position, limit, bytes) ? position + bytes : nullptr;
}

// Skips `bytes` fixed bytes; null when they do not end before `limit`.
const unsigned char* skipFixed(const unsigned char* position, const void* limit, size_t bytes) {
    if (position == nullptr || !ZOV_ImageFits(position, limit, bytes))
        return nullptr;
    return position + bytes;
}

// End of a template image (zovcevtr.h): header, three labels, node type, text.
const unsigned char* skipTemplate(const unsigned char* position, const void* limit) {
    const unsigned char* p = skipFixed(position, limit, ZOV_Record_Header::kSize);
    for (int label = 0; label < 3; ++label)
        p = skipString(p, limit);
    p = skipFixed(p, limit, ZOV_EVTR::kNodeTypeSize);
    return skipString(p, limit);
}

// End of a resource information image (zovcreir.h): header, UUID, label, and
// the 4-byte member of the kinds that add one.
const unsigned char* skipResource(const unsigned char* position, const void* limit,
                                  bool addedMember) {
    const unsigned char* p = skipFixed(position, limit, ZOV_Record_Header::kSize);
    p = skipString(skipString(p, limit), limit);
    return addedMember ? skipFixed(p, limit, ZOV_REIR::kAddedMemberSize) : p;
}

const unsigned char* skipPlainResource(const unsigned char* position, const void* limit) {
    return skipResource(position, limit, false);
}
const unsigned char* skipResourceWithMember(const unsigned char* position, const void* limit) {
    return skipResource(position, limit, true);
}
template <int kSize>
const unsigned char* skipFixedImage(const unsigned char* position, const void* limit) {
    return skipFixed(position, limit, kSize);
}
// An event information image: header, a template's image, an event's body.
const unsigned char* skipInformation(const unsigned char* position, const void* limit) {
    const unsigned char* p = skipFixed(position, limit, ZOV_Record_Header::kSize);
    return skipFixed(skipTemplate(p, limit), limit, ZOV_EVDR::kSize);
}

template <class Record>
void assignAs(ZOV_Record& to, const ZOV_Record& from) {
    static_cast<Record&>(to) = static_cast<const Record&>(from);
}
template <class Record>
ZOV_REIR* makeResource(const ZOV_Resource_ID* id) {
    return new (std::nothrow) Record(id);
}

// Every stored record type: how its image ends, and its class. Empty
// records are built without record IDs, so reading draws nothing from the
// random generator.
const ZOV_Record_Kind kRecordKinds[] = {
    {ZOV_RT_RESOURCE, skipPlainResource,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_REIR(ZOV_RT_RESOURCE, nullptr); },
     assignAs<ZOV_REIR>,
     [](const ZOV_Resource_ID* id) -> ZOV_REIR* {
         return new (std::nothrow) ZOV_REIR(ZOV_RT_RESOURCE, id);
     }},
    {ZOV_RT_BROKER, skipResourceWithMember,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_BRIR(nullptr); }, assignAs<ZOV_BRIR>,
     makeResource<ZOV_BRIR>},
    {ZOV_RT_EXECUTION_GROUP, skipResourceWithMember,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_EGIR(nullptr); }, assignAs<ZOV_EGIR>,
     makeResource<ZOV_EGIR>},
    {ZOV_RT_MESSAGE_FLOW, skipPlainResource,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_MFIR(nullptr); }, assignAs<ZOV_MFIR>,
     makeResource<ZOV_MFIR>},
    {ZOV_RT_NODE, skipResourceWithMember,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_NOIR(nullptr); }, assignAs<ZOV_NOIR>,
     makeResource<ZOV_NOIR>},
    {ZOV_RT_STATISTICS, skipFixedImage<ZOV_STIR::kSize>,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_STIR(0); }, assignAs<ZOV_STIR>, nullptr},
    {ZOV_RT_EVENT_TEMPLATE, skipTemplate,
     []() -> ZOV_Record* {
         return new (std::nothrow) ZOV_EVTR(nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr);
     },
     assignAs<ZOV_EVTR>, nullptr},
    {ZOV_RT_EVENT_DATA, skipFixedImage<ZOV_EVDR::kSize>,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_EVDR(nullptr, 0); }, assignAs<ZOV_EVDR>,
     nullptr},
    {ZOV_RT_EVENT_INFORMATION, skipInformation,
     []() -> ZOV_Record* { return new (std::nothrow) ZOV_EVIR(nullptr, nullptr); },
     assignAs<ZOV_EVIR>, nullptr},
};
static_assert(std::size(kRecordKinds) == ZOV_RT_EVENT_INFORMATION);

// A new object of the prototype's class, equal to it; null when it cannot be
// allocated.
ZOV_Record* cloneRecord(const ZOV_Record& prototype) {
    const ZOV_Record_Kind* kind = ZOV_RecordKind(prototype.getType());
    ZOV_Record* copy = kind != nullptr ? kind->makeEmpty() : nullptr;
    if (copy != nullptr)
        kind->assign(*copy, prototype);
    return copy;
}

// One object of each record class, indexed by record type, for the walk.
struct Prototypes {
    ZOV_Record bare;
    ZOV_REIR resource{ZOV_RT_RESOURCE, nullptr};
    ZOV_BRIR broker{nullptr};
    ZOV_EGIR executionGroup{nullptr};
    ZOV_MFIR messageFlow{nullptr};
    ZOV_NOIR node{nullptr};
    ZOV_STIR statistics{0};
    ZOV_EVTR eventTemplate{nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr};
    ZOV_EVDR eventData{nullptr, 0};
    ZOV_EVIR eventInformation{nullptr, nullptr};

    ZOV_Record* forType(int type) {
        ZOV_Record* const table[] = {
            &bare, &resource,   &broker,        &executionGroup, &messageFlow,
            &node, &statistics, &eventTemplate, &eventData,      &eventInformation};
        return type >= ZOV_RT_RESOURCE && type <= ZOV_RT_EVENT_INFORMATION ? table[type] : nullptr;
    }
};

// An offset read from the shared header, clamped to [64, size].
const unsigned char* clampedPosition(const void* address, const void* position, unsigned int size) {
    const auto* base = static_cast<const unsigned char*>(address);
    const auto* p = static_cast<const unsigned char*>(position);
    if (p < base + kHeaderSize)
        return base + kHeaderSize;
    if (p > base + size)
        return base + size;
    return p;
}

}  // namespace

const ZOV_Record_Kind* ZOV_RecordKind(ZOV_RecordType type) {
    if (type < ZOV_RT_RESOURCE || type > ZOV_RT_EVENT_INFORMATION)
        return nullptr;
    const ZOV_Record_Kind* kind = &kRecordKinds[type - ZOV_RT_RESOURCE];
    return kind->type == type ? kind : nullptr;
}

int ZOV_StoredImageSize(ZOV_RecordType type, const void* position, const void* limit) {
    const auto* start = static_cast<const unsigned char*>(position);
    const ZOV_Record_Kind* kind = ZOV_RecordKind(type);
    const unsigned char* end = kind != nullptr ? kind->skipImage(start, limit) : nullptr;
    if (end == nullptr || end - start > 0x7FFFFFFF)
        return -1;
    return static_cast<int>(end - start);
}

ZOV_Area_Image_Walk::ZOV_Area_Image_Walk(const unsigned char* area, uint32_t size)
    : cursor(area + kHeaderSize), limit(cursor), placed(cursor) {
    if (area == nullptr || size < static_cast<uint32_t>(kHeaderSize)) {
        cursor = limit = placed = nullptr;
        return;
    }
    int32_t next = 0;
    int32_t last = 0;
    ZOV_LoadField(area, ZOV_Memory_Manager::kNextOffsetOffset, next);
    ZOV_LoadField(area, ZOV_Memory_Manager::kLastOffsetOffset, last);
    const auto clamped = [&](int32_t offset) {
        return area + std::clamp<int64_t>(offset, kHeaderSize, static_cast<int64_t>(size));
    };
    limit = clamped(last);
    placed = clamped(next);
}

bool ZOV_Area_Image_Walk::next() {
    if (current != nullptr)
        cursor = current + currentSize;
    current = nullptr;
    if (cursor >= limit || stopped != ZOV_RC_OK)
        return false;
    int32_t type = 0;
    int size = -1;
    if (ZOV_ImageFits(cursor, limit, ZOV_Record_Header::kSize) &&
        std::memcmp(cursor, kZOVRecordEyecatcher, sizeof kZOVRecordEyecatcher) == 0) {
        ZOV_LoadField(cursor, ZOV_Record_Header::kRecordIdOffset + ZOV_Record_ID::kTypeOffset,
                      type);
        size = ZOV_StoredImageSize(static_cast<ZOV_RecordType>(type), cursor, limit);
    }
    if (size <= 0) {
        // Past the placed records, the remains of older ones end the walk.
        if (cursor < placed)
            stopped = ZOV_RC_NOT_FOUND;
        return false;
    }
    current = cursor;
    currentSize = size;
    currentType = static_cast<ZOV_RecordType>(type);
    return true;
}

ZOV_Shared_Area::ZOV_Shared_Area(const ZOV_String& name) {
    static constexpr char fn[] = "ZOV_Shared_Area::ZOV_Shared_Area";
    ZOV_ENTRY(fn);
    ZOV_String narrow(name);
    const char* text = name.status == 0 ? narrow.getcValue() : nullptr;
    if (text == nullptr) {
        // A cut name would give the area another lock than every other
        // process uses for it.
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.status = ZOV_STATUS_FAILED;
    }
    // The string allocates with the throwing operator: a path that cannot be
    // held fails the area like a name that cannot.
    try {
        path = std::string("/tmp/") + (text != nullptr ? text : "");
    } catch (const std::bad_alloc&) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.status = ZOV_STATUS_FAILED;
    }
    memoryManager.setSize(ZOV_ConfiguredAreaSize());
    ZOV_EXIT(fn);
}

ZOV_Shared_Area::~ZOV_Shared_Area() {
    static constexpr char fn[] = "ZOV_Shared_Area::~ZOV_Shared_Area";
    ZOV_ENTRY(fn);
    cleanup();
    memoryManager.cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Shared_Area::init(ZOV_Shared_Memory* segment) {
    static constexpr char fn[] = "ZOV_Shared_Area::init";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Initializing shared area %s", path.c_str());
    // A failed area (its name could not be held) carves nothing.
    void* address =
        segment != nullptr && memoryManager.status == 0 ? segment->allocate(this) : nullptr;
    memoryManager.address = address;
    ZOV_TRACE(fn, "Shared area %s mapped. ADDRESS = 0x%lX", path.c_str(),
              reinterpret_cast<unsigned long>(address));
    if (address == nullptr) {
        memoryManager.status = ZOV_STATUS_FAILED;
        ZOV_EXIT(fn);
        return;
    }
    // An existing area keeps the size it was carved with (checked against
    // the segment by allocate), whatever this process has configured.
    uint32_t stored = 0;
    std::memcpy(&stored, static_cast<unsigned char*>(address) + ZOV_Memory_Manager::kSizeOffset,
                sizeof stored);
    if (stored != memoryManager.getSize())
        memoryManager.setSize(stored);

    areaMutex = new (std::nothrow) ZOV_Name_Mutex(path.c_str());
    if (areaMutex == nullptr) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
    } else if (areaMutex->status != 0) {
        ZOV_TRACE(fn, "Area mutex NOT OK: the area lock excludes only this process's threads");
        areaMutex->cleanup();
        delete areaMutex;
        areaMutex = nullptr;
    }
    usableMutex.store(areaMutex);
    ZOV_EXIT(fn);
}

const unsigned char* ZOV_Shared_Area::readLimit() const {
    const unsigned int size = memoryManager.getSize();
    return clampedPosition(memoryManager.address, memoryManager.getLastPosition(), size);
}

const unsigned char* ZOV_Shared_Area::placedEnd() const {
    const unsigned int size = memoryManager.getSize();
    return clampedPosition(memoryManager.address, memoryManager.getNextPosition(), size);
}

void* ZOV_Shared_Area::placedPosition(const ZOV_Record* record) const {
    const auto* base = static_cast<const unsigned char*>(memoryManager.address);
    auto* position = static_cast<unsigned char*>(record->getSharedPosition());
    const unsigned char* end = base + memoryManager.getSize();
    if (position < base + kHeaderSize || position >= end)
        return nullptr;
    return ZOV_ImageFits(position, end, static_cast<size_t>(record->size())) ? position : nullptr;
}

ZOV_ReturnCode ZOV_Shared_Area::put(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Shared_Area::put";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Inserting record in shared area %s", path.c_str());
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (record == nullptr) {
        result = ZOV_RC_NULL;
    } else if (memoryManager.status != 0) {
        result = ZOV_RC_FAILED;
    } else if (record->getSharedPosition() != nullptr) {
        result = rewrite(record);
    } else {
        lock();
        void* end = nullptr;
        result = writeRecord(const_cast<unsigned char*>(placedEnd()), record, &end);
        memoryManager.setNextPosition(end);
        unlock();
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

// Rewrites a placed record where it lies, without a lock. A variable-size
// image is written only over an image of the same size: a grown one would
// overwrite the next record, a shrunk one would leave bytes that break the
// walk. Fixed-size records (statistics, event data) skip the check, which
// keeps the per-message update cheap.
ZOV_ReturnCode ZOV_Shared_Area::rewrite(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Shared_Area::put";
    void* position = placedPosition(record);
    if (position == nullptr) {
        ZOV_TRACE(fn, "Record position 0x%lX outside shared area %s",
                  reinterpret_cast<unsigned long>(record->getSharedPosition()), path.c_str());
        return ZOV_RC_NO_SPACE;
    }
    const ZOV_RecordType type = record->getType();
    if (type != ZOV_RT_STATISTICS && type != ZOV_RT_EVENT_DATA) {
        const void* end =
            static_cast<unsigned char*>(memoryManager.address) + memoryManager.getSize();
        const int stored = ZOV_StoredImageSize(type, position, end);
        if (stored != record->size()) {
            ZOV_TRACE(fn, "Record of %i bytes not written over a stored image of %i bytes",
                      record->size(), stored);
            return ZOV_RC_NO_SPACE;
        }
    }
    return writeRecord(position, record, nullptr);
}

ZOV_ReturnCode ZOV_Shared_Area::writeRecord(void* position, ZOV_Record* record, void** end) {
    static constexpr char fn[] = "ZOV_Shared_Area::writeRecord";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Writing a record in position 0x%lX of shared area %s",
              reinterpret_cast<unsigned long>(position), path.c_str());
    if (end != nullptr)
        *end = position;
    ZOV_ReturnCode result = ZOV_RC_OK;
    const auto* first = static_cast<const unsigned char*>(memoryManager.getFirstPosition());
    if (record == nullptr) {
        result = ZOV_RC_NULL;
    } else if (memoryManager.address == nullptr || static_cast<unsigned char*>(position) < first ||
               !memoryManager.isEnoughSpace(position, static_cast<unsigned int>(record->size()))) {
        result = ZOV_RC_NO_SPACE;
    } else if (void* after = record->put(position); after == nullptr) {
        // The record could not make its image (a text it holds was not
        // allocated): nothing was written.
        ZOV_LOG_ALLOCATION_ERROR(fn);
        result = ZOV_RC_ALLOCATION;
    } else if (end != nullptr) {
        *end = after;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Shared_Area::get(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Shared_Area::get";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (record == nullptr) {
        result = ZOV_RC_NULL;
    } else if (memoryManager.status != 0) {
        result = ZOV_RC_FAILED;
    } else if (record->getSharedPosition() != nullptr) {
        void* position = placedPosition(record);
        const void* end =
            static_cast<unsigned char*>(memoryManager.address) + memoryManager.getSize();
        if (position == nullptr || record->getBounded(position, end) == nullptr) {
            result = ZOV_RC_NOT_FOUND;
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Shared_Area::read(ZOV_Record_Collection* records) {
    return read(records, unixtime{});
}

ZOV_ReturnCode ZOV_Shared_Area::read(ZOV_Record_Collection* records, unixtime since) {
    static constexpr char fn[] = "ZOV_Shared_Area::read";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (records == nullptr) {
        result = ZOV_RC_NULL;
    } else if (memoryManager.status != 0 || memoryManager.address == nullptr) {
        result = ZOV_RC_FAILED;
    } else {
        result = walk(records, since);
        if (result == ZOV_RC_ALLOCATION)
            ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

// The reader's walk from +64 to the limit (see the header comment for the
// result codes and the stale tail).
ZOV_ReturnCode ZOV_Shared_Area::walk(ZOV_Record_Collection* records, const unixtime& since) {
    static constexpr char fn[] = "ZOV_Shared_Area::read";
    Prototypes prototypes;
    auto* position = static_cast<unsigned char*>(memoryManager.getFirstPosition());
    for (;;) {
        // The header is reread at every step: writers may move on meanwhile.
        const unsigned char* limit = readLimit();
        if (position >= limit)
            return ZOV_RC_OK;
        const bool stale = position >= placedEnd();

        ZOV_Record* prototype = nullptr;
        if (prototypes.bare.getBounded(position, limit) != nullptr &&
            std::memcmp(prototypes.bare.getHeader().eyecatcher, kZOVRecordEyecatcher,
                        sizeof kZOVRecordEyecatcher) == 0) {
            prototype = prototypes.forType(prototypes.bare.getType());
        }
        void* next = prototype != nullptr ? prototype->getBounded(position, limit) : nullptr;
        if (next == nullptr) {
            if (stale) {
                ZOV_TRACE(fn, "End of readable records at offset %ld",
                          static_cast<long>(position -
                                            static_cast<unsigned char*>(memoryManager.address)));
                return ZOV_RC_OK;
            }
            ZOV_TRACE(
                fn, "Unreadable record of type %i at offset %ld",
                static_cast<int>(prototypes.bare.getType()),
                static_cast<long>(position - static_cast<unsigned char*>(memoryManager.address)));
            ZOV_ReportDegraded(ZOV_Degraded::kUnreadableRecord, fn, path.c_str());
            return ZOV_RC_NOT_FOUND;
        }
        position = static_cast<unsigned char*>(next);
        if (!prototype->isNewer(since))
            continue;
        ZOV_Record* copy = cloneRecord(*prototype);
        if (copy == nullptr || records->insert(copy) != 0) {
            delete copy;
            return ZOV_RC_ALLOCATION;
        }
    }
}

ZOV_ReturnCode ZOV_Shared_Area::putStartingAgain(ZOV_Record* record, ZOV_RecordType type) {
    if (record == nullptr || record->getType() != type)
        return ZOV_RC_NULL;
    // Untraced, a new record that fits is appended here in one piece (the
    // events' per-message path). Anything else goes the general way below,
    // within the same lock take and from the start, since nothing has been
    // written yet: the bytes are those the general way writes.
    if (bZOVTracing || memoryManager.status != 0 || memoryManager.address == nullptr ||
        record->getSharedPosition() != nullptr) {
        return putOrStartAgain(record);
    }
    lock();
    ZOV_ReturnCode result = appendFitting(record);
    if (result == ZOV_RC_NO_SPACE)
        result = putOrStartAgain(record);
    unlock();
    return result;
}

// put() of a new record when it fits, else 2 with nothing written. The caller
// holds the area lock.
ZOV_ReturnCode ZOV_Shared_Area::appendFitting(ZOV_Record* record) {
    // isEnoughSpace's test without its trace lines: placedEnd() lies in
    // [first, end], so the record fits when it ends at or before the end.
    auto* position = const_cast<unsigned char*>(placedEnd());
    const size_t room = static_cast<size_t>(static_cast<unsigned char*>(memoryManager.address) +
                                            memoryManager.getSize() - position);
    if (static_cast<size_t>(record->size()) > room)
        return ZOV_RC_NO_SPACE;
    void* after = record->put(position);
    if (after == nullptr) {
        // As writeRecord: the record could not make its image.
        static constexpr char fn[] = "ZOV_Shared_Area::writeRecord";
        ZOV_LOG_ALLOCATION_ERROR(fn);
        memoryManager.setNextPosition(position);
        return ZOV_RC_ALLOCATION;
    }
    memoryManager.setNextPosition(after);
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Shared_Area::putOrStartAgain(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Shared_Area::putStartingAgain";
    ZOV_ReturnCode result = ZOV_Shared_Area::put(record);
    if (result != ZOV_RC_NO_SPACE || record->getSharedPosition() != nullptr)
        return result;
    if (static_cast<unsigned int>(record->size()) > memoryManager.getSize() - kHeaderSize) {
        ZOV_TRACE(fn, "Record of %i bytes larger than the empty area", record->size());
        return result;
    }
    // Holding the lock across the set-back and the second append means the
    // append meets the empty area, so it cannot fail for lack of room again.
    // Another thread or process that found the area full at the same time may
    // have set it back already: append after what it wrote instead of setting
    // the area back a second time over it.
    lock();
    result = ZOV_Shared_Area::put(record);
    if (result == ZOV_RC_NO_SPACE && record->getSharedPosition() == nullptr) {
        ZOV_TRACE(fn, "Shared area %s full: starting again", path.c_str());
        memoryManager.setNextPosition(memoryManager.getFirstPosition());
        result = ZOV_Shared_Area::put(record);
    }
    unlock();
    return result;
}

void ZOV_Shared_Area::lock() {
    static constexpr char fn[] = "ZOV_Shared_Area::lock";
    ZOV_ENTRY(fn);
    const pthread_t self = getThreadId();
    // Only the owner ever stores its own identifier, so a thread that reads
    // itself here does hold the lock.
    if (!pthread_equal(ownerThread.load(), self)) {
        ZOV_Name_Mutex* const named = usableMutex.load(std::memory_order_relaxed);
        const bool taken = named != nullptr && (named->get() || loseAreaMutex());
        if (!taken) {
            processLock.lock();
            ZOV_TRACE(fn, "No area mutex: %s locked within this process only", path.c_str());
        }
        processLockHeld = !taken;
        ownerThread.store(self);
        lockCount.store(1);
    } else {
        lockCount.fetch_add(1);
    }
    ZOV_EXIT(fn);
}

// After a failed take of the area mutex (said once) the area is locked
// within this process only, as when its mutex could not be built. False.
bool ZOV_Shared_Area::loseAreaMutex() {
    static constexpr char fn[] = "ZOV_Shared_Area::lock";
    if (usableMutex.exchange(nullptr) != nullptr)
        ZOV_ReportDegraded(ZOV_Degraded::kLockFallback, fn, path.c_str());
    return false;
}

void ZOV_Shared_Area::unlock() {
    static constexpr char fn[] = "ZOV_Shared_Area::unlock";
    ZOV_ENTRY(fn);
    if (lockCount.fetch_sub(1) - 1 < 1) {
        ownerThread.store(0);
        lockCount.store(0);
        if (processLockHeld)
            processLock.unlock();
        else
            areaMutex->release();
    }
    ZOV_EXIT(fn);
}

void ZOV_Shared_Area::copyTo(void* destination) {
    static constexpr char fn[] = "ZOV_Shared_Area::copyTo";
    ZOV_ENTRY(fn);
    if (destination != nullptr && memoryManager.address != nullptr) {
        lock();
        ZOV_TRACE(fn, "memcpy 0x%lX 0x%lX %d", reinterpret_cast<unsigned long>(destination),
                  reinterpret_cast<unsigned long>(memoryManager.address),
                  static_cast<int>(memoryManager.getSize()));
        std::memcpy(destination, memoryManager.address, memoryManager.getSize());
        unlock();
    }
    ZOV_EXIT(fn);
}

void ZOV_Shared_Area::dump() {
    static constexpr char fn[] = "ZOV_Shared_Area::dump";
    ZOV_ENTRY(fn);
    ZOV_PRINT(fn, "Area : %s", path.c_str());
    ZOV_TRACE(fn, "address = 0x%lX, size = %i",
              reinterpret_cast<unsigned long>(memoryManager.address),
              static_cast<int>(memoryManager.getSize()));
    if (memoryManager.address != nullptr) {
        ZOV_DumpMemory(memoryManager.address, static_cast<int>(memoryManager.getSize()), nullptr);
    }
    ZOV_EXIT(fn);
}

void ZOV_Shared_Area::formatAt(void* position) {
    memoryManager.setAddress(position);
    memoryManager.setNextPosition(memoryManager.getFirstPosition());
}

void ZOV_Shared_Area::layOver(unsigned char* bytes, unsigned int size) {
    memoryManager.setAddress(bytes);
    memoryManager.setSize(size);
}

void ZOV_Shared_Area::cleanup() {
    static constexpr char fn[] = "ZOV_Shared_Area::cleanup";
    ZOV_ENTRY(fn);
    usableMutex.store(nullptr);
    if (areaMutex != nullptr) {
        areaMutex->cleanup();
        delete areaMutex;
        areaMutex = nullptr;
    }
    ZOV_EXIT(fn);
}
