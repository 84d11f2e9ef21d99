// ZOV_Events_Data_Area: the shared area of the event data records (type 8
// only, 208 bytes each); eyecatcher "zovcedar", name broker UUID + ".zovcedar".
// Holds (S - 64) / 208 records; when full it starts again from its beginning
// and new records overwrite old ones slot by slot, the records between
// nextOffset and lastOffset being the older survivors.
#pragma once

#include "zov/zovcshar.h"

class ZOV_Events_Data_Area : public ZOV_Shared_Area {
  public:
    // `name` is the broker UUID; the suffix is added here.
    explicit ZOV_Events_Data_Area(const ZOV_String& name);
    // 3 for a null record or one of another type; else as
    // ZOV_Shared_Area::put, starting the area again when it is full.
    ZOV_ReturnCode put(ZOV_Record* record) override;
    Type getType() const override { return ZOV_EVENTS_DATA_AREA; }
};
