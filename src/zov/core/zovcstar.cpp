#include "zov/core/zovcstar.h"

static constexpr char _ZOV_UNIT_[] = "zovcstar";

ZOV_Stats_Area::ZOV_Stats_Area(const ZOV_String& name) : ZOV_Shared_Area(name + ".zovcstar") {
    static constexpr char fn[] = "ZOV_Stats_Area::ZOV_Stats_Area";
    ZOV_ENTRY(fn);
    memory().setEyecatcher(kZOVStatsAreaEyecatcher);
    ZOV_EXIT(fn);
}
