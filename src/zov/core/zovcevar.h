// ZOV_Events_Area: the broker's front for the two events areas. It posts
// event data records, stores event templates once (found again by content),
// and hands out the events created since it last looked, each joined with
// its template into an event information record.
//
// Threads: postEvent may be called by several threads at once (the data
// area's lock serialises appends). The template copy, the time marks and the
// reader's cursor are process-local fields without a lock: getEvents,
// getTemplates, setEventTemplate and flushTemplates belong to one thread at
// a time.
//
// Each event is returned once by each events area object unless it was
// overwritten before the next getEvents: the data area is read under its lock
// from this object's cursor (see zovcedar.h), and the template copy is
// refreshed after that read, so a template stored just before its first event
// is always in the copy that event is joined with.
#pragma once

#include "zov/core/zovcedar.h"
#include "zov/core/zovcetar.h"
#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovctool.h"

class ZOV_EVDR;
class ZOV_EVTR;
class ZOV_Shared_Memory;

class ZOV_Events_Area {
  public:
    // The name is not kept: the areas are named by init after the segment.
    explicit ZOV_Events_Area(const ZOV_String& name);
    virtual ~ZOV_Events_Area();
    ZOV_Events_Area(const ZOV_Events_Area&) = delete;
    ZOV_Events_Area& operator=(const ZOV_Events_Area&) = delete;

    // Builds and maps the templates area, then the data area; events created
    // before this call are never returned by getEvents.
    virtual void init(ZOV_Shared_Memory* segment);
    // 8 when not usable; else the data area's put.
    ZOV_ReturnCode postEvent(ZOV_EVDR* event);
    // postEvent's way for a message's event with tracing off: 8 when not
    // usable; else ZOV_Events_Data_Area::appendEvent.
    ZOV_ReturnCode appendEvent(const unsigned char* descriptor, int threadId,
                               const ZOV_Record_ID& parent);
    // The template under which events of this kind are posted: a member of
    // the template copy equal by content (owned by this object and destroyed
    // at the next refresh of the copy: do not keep it), or `eventTemplate`
    // itself once stored in the area; null on failure.
    ZOV_EVTR* setEventTemplate(ZOV_EVTR* eventTemplate);
    // Appends one new ZOV_EVIR per event data record written since the last
    // call (or init) and having a known template, oldest first; the caller
    // owns them. 8 when not usable (also after cleanup), 3 without a data area.
    ZOV_ReturnCode getEvents(ZOV_Ordered_Record_Set* events);
    // Refreshes the template copy when the templates area changed.
    ZOV_ReturnCode getTemplates();
    ZOV_EVTR* findTemplate(const ZOV_EVTR* eventTemplate);
    ZOV_EVTR* findTemplate(const ZOV_EVDR* event);
    void flushTemplates();
    void dump();
    // Destroys both area objects; status 301. Idempotent.
    void cleanup();

    int status = 0;
    ZOV_Events_Template_Area* templateArea = nullptr;
    ZOV_Events_Data_Area* dataArea = nullptr;
    unixtime templatesLastUpdate{};
    unixtime eventsLastUpdate{};
    ZOV_Record_Set templates;  // of ZOV_EVTR, owned

  private:
    // Where this reader stands in the data area: events are new by position.
    ZOV_Events_Cursor cursor;
    // The templates area's next free position when `templates` was filled:
    // the header time has millisecond resolution, so two templates stored in
    // one millisecond are told apart by the fill level.
    const void* templatesNextPosition = nullptr;

    // Joins the records of `data` with their templates into `events`.
    ZOV_ReturnCode joinEvents(const ZOV_Ordered_Record_Set& data, ZOV_Ordered_Record_Set* events);
};
