// Test helpers for the shared areas: areas over plain buffers (no IPC), the
// header as an outside reader reads it, corrupting bytes, record factories.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broker/brk_api.h"
#include "support/plugin_env.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcmema.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcshar.h"

// The tests' one way past an area's operations, for the faults no operation
// makes: writing its bytes behind its back, naming it with a foreign
// eyecatcher.
struct ZOV_Area_Test_Access {
    static unsigned char* bytes(ZOV_Shared_Area& area) {
        return static_cast<unsigned char*>(area.memoryManager.address);
    }
    static void setEyecatcher(ZOV_Shared_Area& area, const char* name) {
        area.memoryManager.setEyecatcher(name);
    }
};

namespace zovtest {

// Writes the configuration file when built: a fixture's member placed before
// the segments and areas, which read their sizes when they are built.
struct Configuration {
    explicit Configuration(const char* text) { configure(text); }
};

// An area over an owned, zero-filled buffer of `size` bytes, formatted as a
// fresh area; its lock works within the process only (no area mutex).
template <typename Area>
struct BufferArea {
    explicit BufferArea(size_t size, const char* name = "buffer")
        : bytes(size, 0), area(ZOV_String(name)) {
        area.layOver(bytes.data(), static_cast<unsigned int>(size));
        area.formatAt(bytes.data());
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
inline HeaderView headerAt(const void* address) {
    const auto* p = static_cast<const unsigned char*>(address);
    HeaderView view{};
    char name[9] = {};
    std::memcpy(name, p + ZOV_Memory_Manager::kEyecatcherOffset, 8);
    view.eyecatcher = name;
    std::memcpy(&view.size, p + ZOV_Memory_Manager::kSizeOffset, 4);
    std::memcpy(&view.nextOffset, p + ZOV_Memory_Manager::kNextOffsetOffset, 4);
    std::memcpy(&view.lastOffset, p + ZOV_Memory_Manager::kLastOffsetOffset, 4);
    std::memcpy(&view.lastUpdate, p + ZOV_Memory_Manager::kLastUpdateOffset,
                sizeof view.lastUpdate);
    return view;
}

inline void corrupt(void* base, size_t offset, const void* bytes, size_t n) {
    std::memcpy(static_cast<unsigned char*>(base) + offset, bytes, n);
}
inline void corruptInt(void* base, size_t offset, int32_t value) {
    corrupt(base, offset, &value, sizeof value);
}

// A node record; a template; an event (with a record ID) under `parent`.
inline std::unique_ptr<ZOV_NOIR> nodeRecord(const char* uuid, const char* label) {
    const ZOV_String u(uuid), l(label);
    ZOV_Resource_ID id(&u, &l);
    return std::make_unique<ZOV_NOIR>(&id);
}
inline std::unique_ptr<ZOV_EVTR> templateRecord(const char* node, const char* text) {
    const ZOV_String group("group"), flow("flow"), label(node), message(text);
    return std::make_unique<ZOV_EVTR>(&group, &flow, &label, ZOV_NT_OTHER, &message);
}
inline std::unique_ptr<ZOV_EVDR> eventRecord(const ZOV_Record* parent, int threadId) {
    BrkMqmd md{};
    std::memcpy(md.putApplName, "area test", 9);
    auto event = std::make_unique<ZOV_EVDR>(&md, threadId);
    if (parent != nullptr)
        event->setParent(parent->getRecordId());
    return event;
}

// Waits until the next record or header stamp carries a later time.
inline void nextMillisecond() {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

}  // namespace zovtest
