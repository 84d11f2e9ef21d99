// ZOV_Stats_Area: the shared area of the resource information records and
// statistics records (types 1 to 6) of a broker; eyecatcher "zovcstar",
// name broker UUID + ".zovcstar". Records are appended once, rewritten in
// place for every update and marked deleted instead of removed; a full area
// refuses new records (2) and keeps the ones it holds up to date.
#pragma once

#include "zov/core/zovcshar.h"

class ZOV_Stats_Area : public ZOV_Shared_Area {
  public:
    // `name` is the broker UUID; the suffix is added here.
    explicit ZOV_Stats_Area(const ZOV_String& name);
    Type getType() const override { return ZOV_STATS_AREA; }
};
