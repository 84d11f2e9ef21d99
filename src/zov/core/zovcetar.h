// ZOV_Events_Template_Area: the shared area of the event template records
// (type 7 only); eyecatcher "zovcetar", name broker UUID + ".zovcetar".
// Never refuses for lack of room: when full it starts again from its
// beginning, overwriting the oldest templates.
#pragma once

#include "zov/core/zovcshar.h"

class ZOV_Events_Template_Area : public ZOV_Shared_Area {
  public:
    // `name` is the broker UUID; the suffix is added here.
    explicit ZOV_Events_Template_Area(const ZOV_String& name);
    // 3 for a null record or one of another type; 2 for a template that does
    // not fit even into the empty area; else as ZOV_Shared_Area::put.
    ZOV_ReturnCode put(ZOV_Record* record) override;
    Type getType() const override { return ZOV_EVENTS_TEMPLATE_AREA; }
};
