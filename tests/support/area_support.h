// Test helpers for the shared areas: areas over plain buffers (no IPC), the
// header as an outside reader reads it, corrupting bytes, record factories.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zov/zovcevdr.h"
#include "zov/zovcevtr.h"
#include "zov/zovcnoir.h"
#include "zov/zovcrcrd.h"

namespace zovtest {

// An area over an owned, zero-filled buffer of `size` bytes, formatted as a
// fresh area; its lock works within the process only (no area mutex).
template <typename Area>
struct BufferArea {
    explicit BufferArea(size_t size, const char* name = "buffer")
        : bytes(size, 0), area(ZOV_String(name)) {
        area.memoryManager.setAddress(bytes.data());
        area.memoryManager.setSize(static_cast<unsigned int>(size));
        area.memoryManager.setNextPosition(area.memoryManager.getFirstPosition());
    }
    std::vector<unsigned char> bytes;
    Area area;
};

// Header fields read from the area's bytes, as an outside reader sees them.
struct HeaderView {
    std::string eyecatcher;  // up to the first zero byte, at most 8
    uint32_t size;
    int32_t nextOffset;
    int32_t lastOffset;
    unixtime lastUpdate;
};
HeaderView headerAt(const void* address);

inline void corrupt(void* base, size_t offset, const void* bytes, size_t n) {
    std::memcpy(static_cast<unsigned char*>(base) + offset, bytes, n);
}
inline void corruptInt(void* base, size_t offset, int32_t value) {
    corrupt(base, offset, &value, sizeof value);
}

// A node record; a template; an event (with a record ID) under `parent`.
std::unique_ptr<ZOV_NOIR> nodeRecord(const char* uuid, const char* label);
std::unique_ptr<ZOV_EVTR> templateRecord(const char* node, const char* text);
std::unique_ptr<ZOV_EVDR> eventRecord(const ZOV_Record* parent, int threadId);

template <typename Collection>
std::vector<int> typesOf(const Collection& records) {
    std::vector<int> types;
    for (ZOV_Record* record : records)
        types.push_back(record->getType());
    return types;
}

// Waits until the next record or header stamp carries a later time.
void nextMillisecond();

}  // namespace zovtest
