// Fuzz target for all that decodes area bytes: the input, as a shared area's
// memory, is read into both kinds of record set, rewritten in place record by
// record, split into templates and data for the events reader, and measured
// by the stored-image decoder. The buffer is exactly as long as the input, so
// AddressSanitizer sees any access outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "zov/core/zovcedar.h"
#include "zov/core/zovcetar.h"
#include "zov/core/zovcevar.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcstar.h"

namespace {

constexpr size_t kHeaderSize = ZOV_Memory_Manager::kHeaderSize;
constexpr size_t kLargestArea = 1 << 20;

struct Readers {
    ZOV_Stats_Area stats{ZOV_String("fuzz")};
    ZOV_Events_Area events{ZOV_String("fuzz")};

    Readers() {
        events.templateArea = new ZOV_Events_Template_Area(ZOV_String("fuzz"));
        events.dataArea = new ZOV_Events_Data_Area(ZOV_String("fuzz"));
    }
};

void layOver(ZOV_Shared_Area& area, unsigned char* bytes, size_t size) {
    area.layOver(bytes, static_cast<unsigned int>(size));
}

// The header's own time stamp as a `since`: records at or before it drop out.
unixtime stampOf(const unsigned char* bytes) {
    int32_t f[10];
    std::memcpy(f, bytes + ZOV_Memory_Manager::kLastUpdateOffset, sizeof f);
    return unixtime{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]};
}

void readAndRewrite(ZOV_Stats_Area& area, unsigned char* bytes) {
    ZOV_Record_Set set;
    area.read(&set);
    set.clearAndDestroy();

    ZOV_Ordered_Record_Set ordered;
    area.read(&ordered, stampOf(bytes));
    // Put back where it was read: the rewrite path, checking the stored image.
    for (ZOV_Record* record : ordered)
        area.put(record);
    ordered.clearAndDestroy();
}

void readEvents(ZOV_Events_Area& events, unsigned char* bytes, size_t size) {
    const size_t half = size / 2;
    if (half < kHeaderSize)
        return;
    layOver(*events.templateArea, bytes, half);
    layOver(*events.dataArea, bytes + half, size - half);
    events.flushTemplates();
    events.eventsLastUpdate = unixtime{};
    ZOV_Ordered_Record_Set got;
    events.getEvents(&got);
    got.clearAndDestroy();
    events.flushTemplates();
}

void measureImages(const unsigned char* bytes, size_t size) {
    for (int type = ZOV_RT_RECORD; type <= ZOV_RT_EVENT_INFORMATION + 1; ++type) {
        ZOV_StoredImageSize(static_cast<ZOV_RecordType>(type), bytes + kHeaderSize, bytes + size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderSize || size > kLargestArea)
        return 0;
    const std::unique_ptr<unsigned char[]> bytes(new unsigned char[size]);
    static Readers r;  // built once: building an area object reads the configuration file

    std::memcpy(bytes.get(), data, size);
    layOver(r.stats, bytes.get(), size);
    readAndRewrite(r.stats, bytes.get());

    std::memcpy(bytes.get(), data, size);
    readEvents(r.events, bytes.get(), size);
    measureImages(bytes.get(), size);
    return 0;
}
