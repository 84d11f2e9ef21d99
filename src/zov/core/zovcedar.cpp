#include "zov/core/zovcedar.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zov/core/zovcimag.h"
#include "zov/core/zovcrcst.h"

static constexpr char _ZOV_UNIT_[] = "zovcedar";

namespace {

constexpr int kTypeOffset = ZOV_Record_Header::kRecordIdOffset;

// The record type stored at `position`, or 0 when no record header begins
// there. The caller has checked that a whole header fits.
int storedType(const unsigned char* position) {
    if (std::memcmp(position, kZOVRecordEyecatcher, sizeof kZOVRecordEyecatcher) != 0)
        return ZOV_RT_RECORD;
    int32_t type = 0;
    std::memcpy(&type, position + kTypeOffset, sizeof type);
    return type;
}

}  // namespace

ZOV_Events_Data_Area::ZOV_Events_Data_Area(const ZOV_String& name)
    : ZOV_Shared_Area(name + ".zovcedar") {
    static constexpr char fn[] = "ZOV_Events_Data_Area::ZOV_Events_Data_Area";
    ZOV_ENTRY(fn);
    memory().setEyecatcher(kZOVEventDataAreaEyecatcher);
    ZOV_EXIT(fn);
}

// On the per-message path (event messages enabled): no allocation.
ZOV_ReturnCode ZOV_Events_Data_Area::put(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Events_Data_Area::put";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = putStartingAgain(record, ZOV_RT_EVENT_DATA);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Data_Area::appendEvent(const unsigned char* descriptor, int threadId,
                                                 const ZOV_Record_ID& parent) {
    if (memory().status != 0 || memory().address == nullptr || descriptor == nullptr)
        return ZOV_RC_FAILED;
    ZOV_ReturnCode result = ZOV_RC_OK;
    lock();
    auto* position = const_cast<unsigned char*>(placedEnd());
    const auto* end = static_cast<unsigned char*>(memory().address) + memory().getSize();
    if (end - position >= ZOV_EVDR::kSize) {
        struct timeval now = {};
        gettimeofday(&now, nullptr);
        const unixtime& created = clock.local(now);
        const auto number = static_cast<int32_t>(::random());
        ZOV_EVDR::putNew(position, descriptor, threadId, parent, now, created, number);
        memory().setNextPosition(position + ZOV_EVDR::kSize, created);
    } else {
        ZOV_EVDR event(descriptor, threadId);
        event.setParent(&parent);
        result = putOrStartAgain(&event);
    }
    unlock();
    return result;
}

int ZOV_Events_Data_Area::offsetOf(const unsigned char* position) const {
    return static_cast<int>(position - static_cast<const unsigned char*>(memory().address));
}

ZOV_ReturnCode ZOV_Events_Data_Area::startCursor(ZOV_Events_Cursor* cursor) {
    static constexpr char fn[] = "ZOV_Events_Data_Area::startCursor";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_FAILED;
    if (cursor != nullptr && getStatus() == 0 && memory().address != nullptr) {
        lock();
        *cursor = ZOV_Events_Cursor{};
        cursor->next = offsetOf(placedEnd());
        // Finds the record that ends at nextOffset; the records before it
        // are not read.
        result = readSpan(ZOV_Memory_Manager::kHeaderSize, cursor->next, false, nullptr, cursor);
        unlock();
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Data_Area::readNew(ZOV_Events_Cursor* cursor,
                                             ZOV_Record_Collection* events, unixtime* seen) {
    static constexpr char fn[] = "ZOV_Events_Data_Area::readNew";
    ZOV_ENTRY(fn);
    if (cursor == nullptr || events == nullptr || seen == nullptr) {
        ZOV_EXIT_RC(fn, ZOV_RC_NULL);
        return ZOV_RC_NULL;
    }
    if (getStatus() != 0 || memory().address == nullptr) {
        ZOV_EXIT_RC(fn, ZOV_RC_FAILED);
        return ZOV_RC_FAILED;
    }
    constexpr int first = ZOV_Memory_Manager::kHeaderSize;
    lock();
    *seen = getLastUpdate();
    const int next = offsetOf(placedEnd());
    const int last = offsetOf(readLimit());
    const auto* base = static_cast<const unsigned char*>(memory().address);
    // The remembered record is compared only where it lies inside the area;
    // anywhere else, or changed, the writers went all the way round.
    const bool remembered =
        cursor->lastStart >= first && cursor->lastSize > 0 &&
        static_cast<unsigned>(cursor->lastStart + cursor->lastSize) <= memory().getSize();
    const bool roundTheArea = !remembered || std::memcmp(base + cursor->lastStart,
                                                         cursor->lastImage, cursor->lastSize) != 0;
    ZOV_Events_Cursor moved = *cursor;
    moved.next = next;
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (roundTheArea) {
        ZOV_TRACE(fn, "Every record of the area is new to this reader");
        result = readSpan(next, last, true, events, &moved);
        if (result == ZOV_RC_OK)
            result = readSpan(first, next, false, events, &moved);
    } else if (next >= cursor->next) {
        result = readSpan(cursor->next, next, false, events, &moved);
    } else {
        result = readSpan(cursor->next, last, true, events, &moved);
        if (result == ZOV_RC_OK)
            result = readSpan(first, next, false, events, &moved);
    }
    if (result == ZOV_RC_OK)
        *cursor = moved;
    unlock();
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Data_Area::readSpan(int from, int to, bool tail,
                                              ZOV_Record_Collection* events,
                                              ZOV_Events_Cursor* last) {
    static constexpr char fn[] = "ZOV_Events_Data_Area::readSpan";
    auto* base = static_cast<unsigned char*>(memory().address);
    const unsigned char* limit = base + to;
    for (unsigned char* position = base + from; position < limit;) {
        const int size =
            ZOV_ImageFits(position, limit, ZOV_Record_Header::kSize)
                ? ZOV_StoredImageSize(static_cast<ZOV_RecordType>(storedType(position)), position,
                                      limit)
                : -1;
        if (size <= 0) {
            ZOV_TRACE(fn, "No readable record at offset %d", offsetOf(position));
            return tail ? ZOV_RC_OK : ZOV_RC_NOT_FOUND;
        }
        if (events != nullptr && storedType(position) == ZOV_RT_EVENT_DATA) {
            // The image fits (measured above), so getBounded cannot fail.
            auto* event = new (std::nothrow) ZOV_EVDR(nullptr, 0);
            if (event != nullptr)
                event->getBounded(position, limit);
            if (event == nullptr || events->insert(event) != 0) {
                delete event;
                ZOV_LOG_ALLOCATION_ERROR(fn);
                return ZOV_RC_ALLOCATION;
            }
        }
        last->lastStart = offsetOf(position);
        last->lastSize = std::min(size, ZOV_EVDR::kSize);
        std::memcpy(last->lastImage, position, static_cast<size_t>(last->lastSize));
        position += size;
    }
    return ZOV_RC_OK;
}
