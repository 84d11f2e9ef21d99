#include "zov/core/zovcmema.h"

#include <algorithm>
#include <cstring>

#include "zov/core/zovcimag.h"

static constexpr char _ZOV_UNIT_[] = "zovcmema";

static_assert(ZOV_Memory_Manager::kLastUpdateOffset + kUnixtimeSize ==
              ZOV_Memory_Manager::kHeaderSize);

namespace {

constexpr int32_t kReservedValue = 1;

using HeaderImage = unsigned char[ZOV_Memory_Manager::kHeaderSize];

unsigned long asNumber(const void* p) {
    return reinterpret_cast<unsigned long>(p);
}

// Address arithmetic as integers: a null or corrupt base never turns into
// undefined pointer arithmetic.
void* offsetFrom(const void* base, uintptr_t offset) {
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(base) + offset);
}

}  // namespace

ZOV_Memory_Manager::ZOV_Memory_Manager() {
    static constexpr char fn[] = "ZOV_Memory_Manager::ZOV_Memory_Manager";
    ZOV_ENTRY(fn);
    std::memset(header, 0, sizeof header);
    ZOV_StoreField(header, kReservedOffset, kReservedValue);
    ZOV_EXIT(fn);
}

void ZOV_Memory_Manager::setSize(unsigned int size) {
    static constexpr char fn[] = "ZOV_Memory_Manager::setSize";
    ZOV_ENTRY(fn);
    ZOV_StoreField(header, kSizeOffset, static_cast<uint32_t>(size));
    ZOV_TRACE(fn, "Size = %i", static_cast<int>(size));
    ZOV_EXIT(fn);
}

void ZOV_Memory_Manager::setEyecatcher(const char* name) {
    static constexpr char fn[] = "ZOV_Memory_Manager::setEyecatcher";
    ZOV_ENTRY(fn);
    if (name != nullptr) {
        const size_t length = std::min(std::strlen(name), static_cast<size_t>(kEyecatcherSize));
        std::memset(header + kEyecatcherOffset, 0, kEyecatcherSize);
        std::memcpy(header + kEyecatcherOffset, name, length);
        ZOV_TRACE(fn, "Eyecatcher = %s", name);
    }
    ZOV_EXIT(fn);
}

void ZOV_Memory_Manager::setAddress(void* newAddress) {
    static constexpr char fn[] = "ZOV_Memory_Manager::setAddress";
    ZOV_ENTRY(fn);
    address = newAddress;
    ZOV_TRACE(fn, "Address = %lX", asNumber(address));
    ZOV_EXIT(fn);
}

// Copies the shared header into `copy`. The object's own copy is left alone,
// so a reader without the lock never disturbs what a lock holder writes back.
void ZOV_Memory_Manager::readSharedHeader(unsigned char* copy) const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getHeader";
    ZOV_ENTRY(fn);
    std::memcpy(copy, address != nullptr ? static_cast<const unsigned char*>(address) : header,
                kHeaderSize);
    if (bZOVTracing)
        ZOV_DumpMemory(copy, kHeaderSize, "Header");
    ZOV_EXIT(fn);
}

// An offset read from shared memory, kept inside [64, size]: a corrupt header
// can then never send a reader or a writer outside the stretch.
int32_t ZOV_Memory_Manager::boundedOffset(const unsigned char* copy, int fieldOffset) const {
    int32_t offset = 0;
    ZOV_LoadField(copy, fieldOffset, offset);
    const int64_t highest = std::max<int64_t>(getSize(), kHeaderSize);
    return static_cast<int32_t>(std::clamp<int64_t>(offset, kHeaderSize, highest));
}

// One offset of the shared header, bounded as above. A single aligned field
// needs no copy of the whole header; with tracing on, the header is copied
// and dumped as every other read of it is.
int32_t ZOV_Memory_Manager::sharedOffset(int fieldOffset) const {
    if (bZOVTracing) {
        HeaderImage copy;
        readSharedHeader(copy);
        return boundedOffset(copy, fieldOffset);
    }
    return boundedOffset(address != nullptr ? static_cast<const unsigned char*>(address) : header,
                         fieldOffset);
}

void* ZOV_Memory_Manager::getFirstPosition() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getFirstPosition";
    ZOV_ENTRY(fn);
    void* const position = offsetFrom(address, kHeaderSize);
    ZOV_EXIT_PTR(fn, position);
    return position;
}

void* ZOV_Memory_Manager::getNextPosition() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getNextPosition";
    ZOV_ENTRY(fn);
    void* const position = offsetFrom(address, sharedOffset(kNextOffsetOffset));
    ZOV_EXIT_PTR(fn, position);
    return position;
}

void* ZOV_Memory_Manager::getLastPosition() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getLastPosition";
    ZOV_ENTRY(fn);
    void* const position = offsetFrom(address, sharedOffset(kLastOffsetOffset));
    ZOV_EXIT_PTR(fn, position);
    return position;
}

void* ZOV_Memory_Manager::getLastAvailablePosition() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getLastAvailablePosition";
    ZOV_ENTRY(fn);
    void* const position = offsetFrom(address, getSize());
    ZOV_TRACE(fn, "%lX %X %lX", asNumber(address), getSize(), asNumber(position));
    ZOV_EXIT_PTR(fn, position);
    return position;
}

int ZOV_Memory_Manager::getAvailableBytes() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getAvailableBytes";
    ZOV_ENTRY(fn);
    const int bytes = static_cast<int>(reinterpret_cast<intptr_t>(getLastAvailablePosition()) -
                                       reinterpret_cast<intptr_t>(getNextPosition()));
    ZOV_EXIT_RC(fn, bytes);
    return bytes;
}

int ZOV_Memory_Manager::isEnoughSpace(const void* position, unsigned int bytes) const {
    static constexpr char fn[] = "ZOV_Memory_Manager::isEnoughSpace";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "isEnough %lX %d", asNumber(position), static_cast<int>(bytes));
    // Integers, so that neither end can wrap: the piece must start after the
    // header and end at or before the last available position.
    const uintptr_t start = reinterpret_cast<uintptr_t>(position);
    const uintptr_t first = reinterpret_cast<uintptr_t>(address) + kHeaderSize;
    const uintptr_t last = reinterpret_cast<uintptr_t>(getLastAvailablePosition());
    int result = 0;
    if (start < first || bytes > last || last - bytes < start) {
        ZOV_TRACE(fn, "No more space");
    } else {
        ZOV_TRACE(fn, "Enough space to write %i bytes in the memory location %lX",
                  static_cast<int>(bytes), asNumber(position));
        result = 1;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Memory_Manager::setNextPosition(const void* position) {
    static constexpr char fn[] = "ZOV_Memory_Manager::setNextPosition";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Parameter %lX", asNumber(position));
    storeNextOffset(position);
    putHeader();
    if (bZOVTracing) {
        int32_t next = 0, last = 0;
        ZOV_LoadField(header, kNextOffsetOffset, next);
        ZOV_LoadField(header, kLastOffsetOffset, last);
        ZOV_TRACE(fn, "Next : %X  Last : %X", static_cast<unsigned>(next),
                  static_cast<unsigned>(last));
    }
    ZOV_EXIT(fn);
}

void ZOV_Memory_Manager::setNextPosition(const void* position, const unixtime& stamp) {
    storeNextOffset(position);
    ZOV_StoreUnixtime(header, kLastUpdateOffset, stamp);
    if (address != nullptr)
        std::memcpy(address, header, kHeaderSize);
}

void ZOV_Memory_Manager::storeNextOffset(const void* position) {
    const auto next = static_cast<int32_t>(reinterpret_cast<intptr_t>(position) -
                                           reinterpret_cast<intptr_t>(address));
    // The high-water mark as it stands in shared memory now (the caller holds
    // the lock), not as some earlier read left it in the object's copy.
    const int32_t last = std::max(sharedOffset(kLastOffsetOffset), next);
    ZOV_StoreField(header, kNextOffsetOffset, next);
    ZOV_StoreField(header, kLastOffsetOffset, last);
}

void ZOV_Memory_Manager::getHeader() {
    static constexpr char fn[] = "ZOV_Memory_Manager::getHeader";
    ZOV_ENTRY(fn);
    if (address != nullptr)
        std::memcpy(header, address, kHeaderSize);
    if (bZOVTracing)
        ZOV_DumpMemory(header, kHeaderSize, "Header");
    ZOV_EXIT(fn);
}

void ZOV_Memory_Manager::putHeader() {
    static constexpr char fn[] = "ZOV_Memory_Manager::putHeader";
    ZOV_ENTRY(fn);
    ZOV_StoreLocalUnixtime(header, kLastUpdateOffset);
    if (address != nullptr)
        std::memcpy(address, header, kHeaderSize);
    ZOV_EXIT(fn);
}

unixtime ZOV_Memory_Manager::getLastUpdate() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::getLastUpdate";
    ZOV_ENTRY(fn);
    HeaderImage copy;
    readSharedHeader(copy);
    const unixtime lastUpdate = ZOV_LoadUnixtime(copy, kLastUpdateOffset);
    ZOV_EXIT(fn);
    return lastUpdate;
}

int ZOV_Memory_Manager::isEmpty() const {
    static constexpr char fn[] = "ZOV_Memory_Manager::isEmpty";
    ZOV_ENTRY(fn);
    const int result = getFirstPosition() == getLastPosition() ? 1 : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Memory_Manager::cleanup() {
    static constexpr char fn[] = "ZOV_Memory_Manager::cleanup";
    ZOV_ENTRY(fn);
    status = ZOV_STATUS_FAILED;
    ZOV_EXIT(fn);
}
