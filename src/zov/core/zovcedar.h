// ZOV_Events_Data_Area: the shared area of the event data records (type 8
// only, 208 bytes each); eyecatcher "zovcedar", name broker UUID + ".zovcedar".
// Holds (S - 64) / 208 records; when full it starts again from its beginning
// and new records overwrite old ones slot by slot, the records between
// nextOffset and lastOffset being the older survivors.
//
// Readers decide what is new by position, not by time: a record's creation
// time may be taken when it is built, before its writer waits for the area
// lock, so times need not grow in area order. A reader's cursor remembers nextOffset
// as it last saw it and the image of the record that ended there; under the
// area lock (so that no slot is half written) the records from the cursor up
// to the present nextOffset, across one start from the beginning, are new.
// When the remembered image has changed, the writers went all the way round
// and every record in the area is new.
#pragma once

#include "zov/core/zovcevdr.h"
#include "zov/core/zovcshar.h"

// Where one reader stands in the data area (process-local).
struct ZOV_Events_Cursor {
    int next = 0;       // nextOffset at the last look
    int lastStart = 0;  // offset of the record that ended at `next`; 0: none
    int lastSize = 0;   // bytes of its image kept in lastImage
    unsigned char lastImage[ZOV_EVDR::kSize] = {};
};

class ZOV_Events_Data_Area : public ZOV_Shared_Area {
  public:
    // `name` is the broker UUID; the suffix is added here.
    explicit ZOV_Events_Data_Area(const ZOV_String& name);
    // 3 for a null record or one of another type; else as
    // ZOV_Shared_Area::put, starting the area again when it is full.
    ZOV_ReturnCode put(ZOV_Record* record) override;
    Type getType() const override { return ZOV_EVENTS_DATA_AREA; }
    // The event of a message, appended with tracing off: the record as
    // ZOV_EVDR(descriptor, threadId) with parent `parent` would put it, made
    // in place under one take of the area lock. Its record ID, event time and
    // the header's lastUpdate come from one clock reading taken under the
    // lock. A full area is set back the general way within the same take.
    // `descriptor` holds the message descriptor's ZOV_EVDR::kMdSize bytes.
    ZOV_ReturnCode appendEvent(const unsigned char* descriptor, int threadId,
                               const ZOV_Record_ID& parent);

    // Under the area lock: places the cursor after the records written so
    // far, so that none of them is new to it. 8 when the area is not usable.
    ZOV_ReturnCode startCursor(ZOV_Events_Cursor* cursor);
    // Under the area lock: appends a new ZOV_EVDR (the caller owns it) for
    // every event data record written since the cursor was placed, oldest
    // first, moves the cursor past them and stores the header's lastUpdate
    // in *seen. On failure the cursor stays where it was.
    ZOV_ReturnCode readNew(ZOV_Events_Cursor* cursor, ZOV_Record_Collection* events,
                           unixtime* seen);

  private:
    // Walks the records in [from, to), appending the event data records to
    // `events` (when not null) and keeping the last record in `last`. In a
    // tail (older survivors), an unreadable position ends the walk with 0.
    ZOV_ReturnCode readSpan(int from, int to, bool tail, ZOV_Record_Collection* events,
                            ZOV_Events_Cursor* last);
    int offsetOf(const unsigned char* position) const;

    // Used only under the area lock.
    ZOV_Local_Clock clock;
};
