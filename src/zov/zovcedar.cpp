#include "zov/zovcedar.h"

static constexpr char _ZOV_UNIT_[] = "zovcedar";

ZOV_Events_Data_Area::ZOV_Events_Data_Area(const ZOV_String& name)
    : ZOV_Shared_Area(name + ".zovcedar") {
    static constexpr char fn[] = "ZOV_Events_Data_Area::ZOV_Events_Data_Area";
    ZOV_ENTRY(fn);
    memoryManager.setEyecatcher("zovcedar");
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
