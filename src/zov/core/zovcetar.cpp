#include "zov/core/zovcetar.h"

static constexpr char _ZOV_UNIT_[] = "zovcetar";

ZOV_Events_Template_Area::ZOV_Events_Template_Area(const ZOV_String& name)
    : ZOV_Shared_Area(name + ".zovcetar") {
    static constexpr char fn[] = "ZOV_Events_Template_Area::ZOV_Events_Template_Area";
    ZOV_ENTRY(fn);
    memory().setEyecatcher(kZOVTemplateAreaEyecatcher);
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Events_Template_Area::put(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Events_Template_Area::put";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = putStartingAgain(record, ZOV_RT_EVENT_TEMPLATE);
    ZOV_EXIT_RC(fn, result);
    return result;
}
