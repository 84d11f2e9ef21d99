#include "zov/core/zovcevar.h"

#include <cstring>
#include <new>

#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcshme.h"

static constexpr char _ZOV_UNIT_[] = "zovcevar";

namespace {

bool sameTime(const unixtime& a, const unixtime& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void dumpTime(const unixtime& t, const char* label) {
    if (bZOVTracing)
        ZOV_DumpMemory(&t, sizeof t, label);
}

// Members of the template copy are read from shared memory: only those that
// really are templates are looked at.
ZOV_EVTR* asTemplate(ZOV_Record* record) {
    return record != nullptr && record->getType() == ZOV_RT_EVENT_TEMPLATE
               ? static_cast<ZOV_EVTR*>(record)
               : nullptr;
}

// Destroys an area object the events area owns.
template <typename Area>
void destroyArea(Area*& area) {
    if (area == nullptr)
        return;
    area->cleanup();
    delete area;
    area = nullptr;
}

}  // namespace

ZOV_Events_Area::ZOV_Events_Area(const ZOV_String& name) {
    static constexpr char fn[] = "ZOV_Events_Area::ZOV_Events_Area";
    ZOV_ENTRY(fn);
    (void)name;  // the areas take their names from the segment in init
    ZOV_EXIT(fn);
}

ZOV_Events_Area::~ZOV_Events_Area() {
    static constexpr char fn[] = "ZOV_Events_Area::~ZOV_Events_Area";
    ZOV_ENTRY(fn);
    cleanup();
    flushTemplates();
    ZOV_EXIT(fn);
}

void ZOV_Events_Area::init(ZOV_Shared_Memory* segment) {
    static constexpr char fn[] = "ZOV_Events_Area::init";
    ZOV_ENTRY(fn);
    templatesLastUpdate = unixtime{};
    eventsLastUpdate = ZOV_LocalUnixtime();
    dumpTime(eventsLastUpdate, "eventsLastUpdate");
    if (segment == nullptr)
        status = ZOV_STATUS_FAILED;
    if (status == 0) {
        templateArea = new (std::nothrow) ZOV_Events_Template_Area(segment->getUuid());
        if (templateArea == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
        } else {
            templateArea->init(segment);
        }
    }
    if (status == 0) {
        dataArea = new (std::nothrow) ZOV_Events_Data_Area(segment->getUuid());
        if (dataArea == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
        } else {
            dataArea->init(segment);
            // An area the segment could not give stays unusable: getEvents
            // then reports it, as postEvent does.
            dataArea->startCursor(&cursor);
        }
    }
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Events_Area::postEvent(ZOV_EVDR* event) {
    static constexpr char fn[] = "ZOV_Events_Area::postEvent";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result =
        status != 0 || dataArea == nullptr ? ZOV_RC_FAILED : dataArea->put(event);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Area::appendEvent(const unsigned char* descriptor, int threadId,
                                            const ZOV_Record_ID& parent) {
    return status != 0 || dataArea == nullptr ? ZOV_RC_FAILED
                                              : dataArea->appendEvent(descriptor, threadId, parent);
}

ZOV_EVTR* ZOV_Events_Area::setEventTemplate(ZOV_EVTR* eventTemplate) {
    static constexpr char fn[] = "ZOV_Events_Area::setEventTemplate";
    ZOV_ENTRY(fn);
    ZOV_EVTR* result = nullptr;
    if (status == 0 && templateArea != nullptr && eventTemplate != nullptr) {
        // Looking up and storing under the templates area's lock keeps two
        // processes registering the same template at once from storing it
        // twice.
        templateArea->lock();
        getTemplates();
        result = findTemplate(eventTemplate);
        if (result == nullptr && templateArea->put(eventTemplate) == ZOV_RC_OK) {
            result = eventTemplate;
        }
        templateArea->unlock();
    }
    ZOV_EXIT_PTR(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Area::getTemplates() {
    static constexpr char fn[] = "ZOV_Events_Area::getTemplates";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (status != 0 || templateArea == nullptr || templateArea->getStatus() != 0) {
        result = ZOV_RC_FAILED;
    } else {
        const unixtime t = templateArea->getLastUpdate();
        const void* next = templateArea->getNextPosition();
        if (!sameTime(t, templatesLastUpdate) || next != templatesNextPosition) {
            flushTemplates();
            templateArea->read(&templates);
            // What was seen before the read: a template added while reading
            // changes the header again, and the next call reads once more.
            templatesLastUpdate = t;
            templatesNextPosition = next;
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Area::getEvents(ZOV_Ordered_Record_Set* events) {
    static constexpr char fn[] = "ZOV_Events_Area::getEvents";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    // Status first: after cleanup the data area is gone, and the object is
    // unusable rather than incomplete.
    if (status != 0) {
        result = ZOV_RC_FAILED;
    } else if (dataArea == nullptr || events == nullptr) {
        result = ZOV_RC_NULL;
    } else {
        ZOV_Ordered_Record_Set data;
        unixtime t{};
        result = dataArea->readNew(&cursor, &data, &t);
        dumpTime(t, "LastUpdate");
        dumpTime(eventsLastUpdate, "eventsLastUpdate");
        if (result == ZOV_RC_OK) {
            eventsLastUpdate = t;
            // Templates after the data: a writer stores a template before it
            // posts the first event under it, so every event just read finds
            // its template in the copy refreshed now.
            result = getTemplates();
        }
        if (result == ZOV_RC_OK)
            result = joinEvents(data, events);
        data.clearAndDestroy();
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Events_Area::joinEvents(const ZOV_Ordered_Record_Set& data,
                                           ZOV_Ordered_Record_Set* events) {
    static constexpr char fn[] = "ZOV_Events_Area::getEvents";
    // Events come in runs of one template: the last one found is tried first.
    ZOV_EVTR* remembered = nullptr;
    for (ZOV_Record* record : data) {
        if (record->getType() != ZOV_RT_EVENT_DATA)
            continue;
        auto* event = static_cast<ZOV_EVDR*>(record);
        if (remembered == nullptr || !event->isChildOf(remembered)) {
            remembered = findTemplate(event);
        }
        if (remembered == nullptr)
            continue;
        auto* information = new (std::nothrow) ZOV_EVIR(remembered, event);
        if (information == nullptr || events->insert(information) != 0) {
            delete information;
            ZOV_LOG_ALLOCATION_ERROR(fn);
            return ZOV_RC_ALLOCATION;
        }
    }
    return ZOV_RC_OK;
}

ZOV_EVTR* ZOV_Events_Area::findTemplate(const ZOV_EVTR* eventTemplate) {
    static constexpr char fn[] = "ZOV_Events_Area::findTemplate";
    ZOV_ENTRY(fn);
    ZOV_EVTR* result = nullptr;
    if (status == 0 && eventTemplate != nullptr) {
        for (ZOV_Record* member : templates) {
            ZOV_EVTR* candidate = asTemplate(member);
            if (candidate != nullptr && *candidate == *eventTemplate) {
                result = candidate;
                break;
            }
        }
    }
    ZOV_EXIT_PTR(fn, result);
    return result;
}

ZOV_EVTR* ZOV_Events_Area::findTemplate(const ZOV_EVDR* event) {
    static constexpr char fn[] = "ZOV_Events_Area::findTemplate";
    ZOV_ENTRY(fn);
    ZOV_EVTR* result = nullptr;
    if (status == 0 && event != nullptr) {
        for (ZOV_Record* member : templates) {
            ZOV_EVTR* candidate = asTemplate(member);
            if (candidate != nullptr && event->isChildOf(candidate)) {
                result = candidate;
                break;
            }
        }
    }
    ZOV_EXIT_PTR(fn, result);
    return result;
}

void ZOV_Events_Area::flushTemplates() {
    static constexpr char fn[] = "ZOV_Events_Area::flushTemplates";
    ZOV_ENTRY(fn);
    templates.clearAndDestroy();
    templatesLastUpdate = unixtime{};
    templatesNextPosition = nullptr;
    ZOV_EXIT(fn);
}

void ZOV_Events_Area::dump() {
    static constexpr char fn[] = "ZOV_Events_Area::dump";
    ZOV_ENTRY(fn);
    if (status != 0 || templateArea == nullptr || dataArea == nullptr) {
        ZOV_PRINT(fn, "Shared Area Unavailable");
    } else {
        ZOV_PRINT(fn, "Event templates");
        templateArea->dump();
        ZOV_PRINT(fn, "Event data");
        dataArea->dump();
    }
    ZOV_EXIT(fn);
}

void ZOV_Events_Area::cleanup() {
    static constexpr char fn[] = "ZOV_Events_Area::cleanup";
    ZOV_ENTRY(fn);
    destroyArea(templateArea);
    destroyArea(dataArea);
    status = ZOV_STATUS_FAILED;
    ZOV_EXIT(fn);
}
