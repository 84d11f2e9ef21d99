#include "zov/node/zovcbrkr.h"

#include <new>

#include "zov/core/zovcbrir.h"
#include "zov/core/zovcdegr.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcevar.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcshme.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"
#include "zov/node/zovcmsre-inl.h"

static constexpr char _ZOV_UNIT_[] = "zovcbrkr";

template class ZOV_Parent_Resource<ZOV_Execution_Group, ZOV_EGIR, ZOV_Execution_Group_Set>;
template class ZOV_Grandparent_Resource<ZOV_Execution_Group, ZOV_EGIR, ZOV_Execution_Group_Set>;

namespace {

// Holds a record's named mutex for a scope, so that no return path leaves it
// taken. A record whose mutex cannot be had is serialised by the broker's
// statistics area lock instead (re-entrant, and never waited for while a
// record mutex is held), so it is never written unlocked.
class RecordLock {
  public:
    RecordLock(ZOV_Broker* broker, ZOV_Record* record) : broker(broker), record(record) {
        if (!record->lock()) {
            broker->lockStatsArea();
            this->record = nullptr;
        }
    }
    ~RecordLock() {
        if (record != nullptr)
            record->unlock();
        else
            broker->unlockStatsArea();
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

  private:
    ZOV_Broker* broker;
    ZOV_Record* record;  // null while the area lock stands in
};

// Holds the broker's statistics area lock for a scope.
class AreaLock {
  public:
    explicit AreaLock(ZOV_Broker* broker) : broker(broker) { broker->lockStatsArea(); }
    ~AreaLock() { broker->unlockStatsArea(); }
    AreaLock(const AreaLock&) = delete;
    AreaLock& operator=(const AreaLock&) = delete;

  private:
    ZOV_Broker* broker;
};

constexpr ZOV_Level_Names kBrokerNames = {
    _ZOV_UNIT_,
    "ZOV_Broker::findExecutionGroup",
    "ZOV_Broker::insertExecutionGroup",
    "ZOV_Broker::insertExecutionGroup2",
    "ZOV_Broker::findExecutionGroups",
    "ZOV_Broker::getRecords",
    "ZOV_Broker::initStatistics",
    "ZOV_Broker::getStatistics",
    "ZOV_Broker::resetStatistics",
    "ZOV_Broker::print",
};

}  // namespace

ZOV_Broker::ZOV_Broker(const ZOV_Resource_ID* id)
    : ZOV_Grandparent_Resource(kBrokerNames, executionGroupSet, ZOV_RT_BROKER, id) {
    static constexpr char fn[] = "ZOV_Broker::ZOV_Broker";
    ZOV_ENTRY(fn);
    // New groups, flows, nodes and statistics records draw their IDs against
    // every ID this broker has read or given.
    idRegistry = &knownRecordIds;
    init(id);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Broker::~ZOV_Broker() {
    static constexpr char fn[] = "ZOV_Broker::~ZOV_Broker";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Broker::init(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Broker::init";
    ZOV_ENTRY(fn);
    statsArea = nullptr;
    eventsArea.store(nullptr, std::memory_order_relaxed);
    if (id != nullptr && id->uuid.status != 0)
        status = id->uuid.status;
    // A broker whose base already failed attaches nothing: its creator
    // discards it anyway.
    if (status == 0) {
        sharedMemory = new (std::nothrow) ZOV_Shared_Memory(getUuid());
        if (sharedMemory == nullptr) {
            // A broker without areas would count nothing, silently.
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
        } else {
            sharedMemory->init();
            if (sharedMemory->getStatus() != 0)
                status = ZOV_STATUS_FAILED;
            else
                createStatisticsArea();
        }
    }
    ZOV_EXIT(fn);
}

void ZOV_Broker::createStatisticsArea() {
    static constexpr char fn[] = "ZOV_Broker::createStatisticsArea";
    ZOV_ENTRY(fn);
    // An area needs a usable segment to live in.
    if (statsArea == nullptr && sharedMemory != nullptr && sharedMemory->getStatus() == 0) {
        statsArea = new (std::nothrow) ZOV_Stats_Area(getUuid());
        if (statsArea == nullptr) {
            status = ZOV_STATUS_FAILED;
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else {
            statsArea->init(sharedMemory);
        }
    }
    ZOV_EXIT(fn);
}

ZOV_Events_Area* ZOV_Broker::createEventsArea() {
    static constexpr char fn[] = "ZOV_Broker::createEventsArea";
    ZOV_ENTRY(fn);
    ZOV_Events_Area* area = eventsArea.load(std::memory_order_acquire);
    if (area == nullptr && sharedMemory != nullptr && sharedMemory->getStatus() == 0) {
        const std::lock_guard<std::mutex> creating(eventsAreaCreation);
        area = eventsArea.load(std::memory_order_relaxed);
        if (area == nullptr) {
            area = new (std::nothrow) ZOV_Events_Area(getUuid());
            if (area == nullptr) {
                // The broker fails for good (statistics included): say why.
                ZOV_LOG_ALLOCATION_ERROR(fn);
                status = ZOV_STATUS_FAILED;
            } else {
                area->init(sharedMemory);
                eventsArea.store(area, std::memory_order_release);
            }
        }
    }
    ZOV_EXIT(fn);
    return area;
}

void ZOV_Broker::cleanup() {
    static constexpr char fn[] = "ZOV_Broker::cleanup";
    ZOV_ENTRY(fn);
    delete sharedMemory;
    sharedMemory = nullptr;
    delete statsArea;
    statsArea = nullptr;
    delete eventsArea.exchange(nullptr, std::memory_order_acq_rel);
    executionGroupSet.cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Broker::flush() {
    static constexpr char fn[] = "ZOV_Broker::flush";
    ZOV_ENTRY(fn);
    executionGroupSet.cleanup();
    ZOV_EXIT(fn);
}

ZOV_BRIR* ZOV_Broker::getBrokerRecord() const {
    return dynamic_cast<ZOV_BRIR*>(informationRecord);
}

// ---------------------------------------------------------------------------
// The tree

void ZOV_Broker::deleteNode(ZOV_Node* node) {
    static constexpr char fn[] = "ZOV_Broker::deleteNode";
    ZOV_ENTRY(fn);
    if (node != nullptr) {
        node->markDeleted();
        AreaLock areaLock(this);
        putRecord(node->getInformationRecord());
    }
    ZOV_EXIT(fn);
}

int ZOV_Broker::isEmpty() {
    static constexpr char fn[] = "ZOV_Broker::isEmpty";
    ZOV_ENTRY(fn);
    const int result =
        statsArea == nullptr || statsArea->getStatus() != 0 ? 1 : statsArea->isEmpty();
    ZOV_EXIT_RC(fn, result);
    return result;
}

uint32_t ZOV_Broker::lastResetTime() const {
    const ZOV_BRIR* record = getBrokerRecord();
    return record != nullptr ? record->getResetTime() : 0;
}

void ZOV_Broker::dump() {
    static constexpr char fn[] = "ZOV_Broker::dump";
    ZOV_ENTRY(fn);
    if (statsArea == nullptr)
        createStatisticsArea();
    if (statsArea != nullptr && statsArea->getStatus() == 0) {
        ZOV_PRINT(fn, "Statistics area");
        statsArea->dump();
    } else {
        ZOV_PRINT(fn, "Statistics area unavailable");
    }
    ZOV_Events_Area* area = getEventsArea();
    if (area == nullptr)
        area = createEventsArea();
    if (area != nullptr && area->status == 0) {
        ZOV_PRINT(fn, "Events area");
        area->dump();
    } else {
        ZOV_PRINT(fn, "Events area unavailable");
    }
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// The statistics area

void ZOV_Broker::registerRecordIds(const ZOV_Record_Set& set) {
    static constexpr char fn[] = "ZOV_Broker::registerRecordIds";
    for (ZOV_Record* record : set) {
        if (knownRecordIds.add(*record->getRecordId()) != ZOV_RC_OK) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            return;
        }
    }
}

ZOV_ReturnCode ZOV_Broker::readStatsArea(int keepAll) {
    static constexpr char fn[] = "ZOV_Broker::readStatsArea";
    ZOV_ENTRY(fn);
    if (statsArea != nullptr) {
        const ZOV_String_Failure_Watch strings;
        ZOV_Record_Set set;
        statsArea->read(&set);  // what could be read is used, whatever the result
        registerRecordIds(set);
        ZOV_BRIR* brokerRecord = getBrokerRecord();
        for (ZOV_Record* record : set) {
            if (record->getType() != ZOV_RT_BROKER)
                continue;
            const auto* stored = dynamic_cast<const ZOV_BRIR*>(record);
            if (stored != nullptr && brokerRecord != nullptr) {
                // The stored record's place and reset time, never its texts:
                // the broker's label and UUID are read by every thread of the
                // node without a lock, so they stay as constructed.
                static_cast<ZOV_Record&>(*brokerRecord) = *stored;
                brokerRecord->setResetTime(stored->getResetTime());
            }
            break;
        }
        const ZOV_Child_Index index(set);
        findExecutionGroups(index, keepAll);
        set.clearAndDestroy();
        // Records whose texts could not be held are missing from the tree.
        if (strings.seen())
            ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    ZOV_EXIT_RC(fn, ZOV_RC_OK);
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Broker::populateStatsArea() {
    static constexpr char fn[] = "ZOV_Broker::populateStatsArea";
    ZOV_ENTRY(fn);
    // A failed broker writes nothing and reports nothing: its creator
    // discards it.
    if (status == 0) {
        ZOV_Record_Set set;
        getRecords(&set);
        // The set lists the tree in preorder, each level's type one above its
        // parent's: after a record that was not stored, the records of a
        // higher type that follow are its descendants, and none is stored
        // either, so the area never holds a child without its parent.
        int unstoredType = ZOV_RT_RECORD;  // none
        for (ZOV_Record* record : set) {
            const int type = record->getType();
            if (unstoredType != ZOV_RT_RECORD && type > unstoredType)
                continue;
            unstoredType = ZOV_RT_RECORD;
            ZOV_ReturnCode stored = ZOV_RC_OK;
            if (type == ZOV_RT_STATISTICS) {
                RecordLock recordLock(this, record);  // no update in flight on it
                stored = putRecord(record);
            } else {
                stored = putRecord(record);
            }
            if (stored != ZOV_RC_OK)
                unstoredType = type;
        }
        set.clear();  // the records belong to the resources
    }
    ZOV_EXIT_RC(fn, ZOV_RC_OK);
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Broker::putRecord(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Broker::putRecord";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = statsArea != nullptr ? statsArea->put(record) : ZOV_RC_OK;
    if (result == ZOV_RC_NO_SPACE)
        ZOV_ReportDegraded(ZOV_Degraded::kAreaFull, fn, statsArea->getPath().c_str());
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::getRecord(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Broker::getRecord";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = statsArea != nullptr ? statsArea->get(record) : ZOV_RC_OK;
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::updateStatistics(ZOV_STIR* record, double queuedTime, double elapsedTime,
                                            int size) {
    static constexpr char fn[] = "ZOV_Broker::updateStatistics";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (status != 0) {
        result = ZOV_RC_FAILED;
    } else if (record == nullptr) {
        result = ZOV_RC_NULL;
    } else {
        result = updateOnce(record, queuedTime, elapsedTime, size);
        // One reset is enough when the record belongs to this broker's tree
        // (its stored image is zeroed). A record outside the tree stays at its
        // maximum: it is reported rather than reset again without end.
        if (result == ZOV_RC_MAXIMUM) {
            resetAtMaximum(record);
            result = updateOnce(record, queuedTime, elapsedTime, size);
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

// The record's image is updated where it lies, under the record's mutex
// alone, or under the area lock when the record has no mutex. Tracing takes the long way (refresh
// the object, update it, write it back) so that every step shows in the trace; both ways write the
// same bytes in the same order. A record that was never placed is counted in this process only:
// writing it would append under the area lock, which is never taken while a record's mutex is held.
ZOV_ReturnCode ZOV_Broker::updateOnce(ZOV_STIR* record, double queuedTime, double elapsedTime,
                                      int size) {
    void* image = statsArea != nullptr && statsArea->getStatus() == 0
                      ? statsArea->placedPosition(record)
                      : nullptr;
    if (!bZOVTracing && image != nullptr) {
        ZOV_Name_Mutex* const taken = record->acquire();
        if (taken == nullptr) [[unlikely]] {
            AreaLock areaLock(this);
            return record->updateImage(image, queuedTime, elapsedTime, size);
        }
        const ZOV_ReturnCode result = record->updateImage(image, queuedTime, elapsedTime, size);
        ZOV_Record::release(taken);
        return result;
    }
    return updateTraced(record, image, queuedTime, elapsedTime, size);
}

ZOV_ReturnCode ZOV_Broker::updateTraced(ZOV_STIR* record, void* image, double queuedTime,
                                        double elapsedTime, int size) {
    RecordLock recordLock(this, record);
    if (image != nullptr)
        getRecord(record);
    const ZOV_ReturnCode result = record->updateStatistics(queuedTime, elapsedTime, size);
    if (result == ZOV_RC_OK && image != nullptr)
        putRecord(record);
    return result;
}

// Threads and processes that find one record at its maximum at the same time
// must not all reset: each reset would zero the messages counted since the
// previous one. The record is looked at again under the area lock, and only
// one still at its maximum is reset.
void ZOV_Broker::resetAtMaximum(ZOV_STIR* record) {
    static constexpr char fn[] = "ZOV_Broker::updateStatistics";
    AreaLock areaLock(this);
    bool full = false;
    {
        RecordLock recordLock(this, record);
        getRecord(record);
        full = record->isAtMaximum();
    }
    if (full) {
        ZOV_String label = getLabel();
        ZOV_LogMessage(_ZOV_UNIT_, __LINE__, fn, ZOV_MSG_MAXIMUM_REACHED, label.getcValue());
        resetStatistics();
    }
}

// A reset zeroes every record even with updates in flight: it takes each
// statistics record's mutex, under the area lock, while it writes the record,
// so an update ends before the zeroes are written or starts after them.
void ZOV_Broker::resetStatistics() {
    static constexpr char fn[] = "ZOV_Broker::resetStatistics";
    ZOV_ENTRY(fn);
    AreaLock areaLock(this);
    readStatsArea(0);
    for (size_t i = 0; i < executionGroupSet.entries(); ++i)
        executionGroupSet.at(i)->resetStatistics();
    ZOV_BRIR* brokerRecord = getBrokerRecord();
    if (brokerRecord != nullptr)
        brokerRecord->setResetTime(ZOV_SecondsSince1901());
    populateStatsArea();
    ZOV_EXIT(fn);
}

void ZOV_Broker::lockStatsArea() {
    static constexpr char fn[] = "ZOV_Broker::lockStatsArea";
    ZOV_ENTRY(fn);
    if (statsArea != nullptr)
        statsArea->lock();
    ZOV_EXIT(fn);
}

void ZOV_Broker::unlockStatsArea() {
    static constexpr char fn[] = "ZOV_Broker::unlockStatsArea";
    ZOV_ENTRY(fn);
    if (statsArea != nullptr)
        statsArea->unlock();
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// Events

ZOV_EVTR* ZOV_Broker::setEventTemplate(ZOV_EVTR* eventTemplate) {
    static constexpr char fn[] = "ZOV_Broker::setEventTemplate";
    ZOV_ENTRY(fn);
    ZOV_EVTR* result = nullptr;
    if (status == 0 && eventTemplate != nullptr) {
        ZOV_Events_Area* area = getEventsArea();
        if (area == nullptr)
            area = createEventsArea();
        if (area != nullptr && area->status == 0)
            result = area->setEventTemplate(eventTemplate);
    }
    ZOV_EXIT_PTR(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::postEvent(ZOV_EVDR* data) {
    static constexpr char fn[] = "ZOV_Broker::postEvent";
    ZOV_ENTRY(fn);
    ZOV_Events_Area* const area = getEventsArea();
    ZOV_ReturnCode result;
    if (status != 0)
        result = ZOV_RC_FAILED;
    else if (data == nullptr)
        result = ZOV_RC_MISSING;
    else if (area == nullptr || area->status != 0)
        result = ZOV_RC_FAILED;  // the events area is not created here
    else
        result = area->postEvent(data);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::appendEvent(const unsigned char* descriptor, int threadId,
                                       const ZOV_Record_ID& parent) {
    ZOV_Events_Area* const area = getEventsArea();
    return status != 0 || area == nullptr ? ZOV_RC_FAILED
                                          : area->appendEvent(descriptor, threadId, parent);
}

ZOV_ReturnCode ZOV_Broker::getEvents(ZOV_Ordered_Record_Set* events) {
    static constexpr char fn[] = "ZOV_Broker::getEvents";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result;
    if (status != 0) {
        result = ZOV_RC_FAILED;
    } else {
        ZOV_Events_Area* area = getEventsArea();
        if (area == nullptr)
            area = createEventsArea();
        if (area == nullptr)
            result = ZOV_RC_ALLOCATION;
        else if (area->status != 0)
            result = ZOV_RC_FAILED;
        else
            result = area->getEvents(events);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}
