#include "zov/zovcbrkr.h"

#include <new>

#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcevar.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevtr.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"
#include "zov/zovcstir.h"

static constexpr char _ZOV_UNIT_[] = "zovcbrkr";

namespace {

// Holds a record's named mutex for a scope, so that no return path leaves it
// taken.
class RecordLock {
  public:
    explicit RecordLock(ZOV_Record* record) : record(record) { record->lock(); }
    ~RecordLock() { record->unlock(); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

  private:
    ZOV_Record* record;
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

}  // namespace

ZOV_Broker::ZOV_Broker(const ZOV_Resource_ID* id) : ZOV_MQSI_Resource(ZOV_RT_BROKER, id) {
    static constexpr char fn[] = "ZOV_Broker::ZOV_Broker";
    ZOV_ENTRY(fn);
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
    eventsArea = nullptr;
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

void ZOV_Broker::createEventsArea() {
    static constexpr char fn[] = "ZOV_Broker::createEventsArea";
    ZOV_ENTRY(fn);
    if (eventsArea == nullptr && sharedMemory != nullptr && sharedMemory->getStatus() == 0) {
        eventsArea = new (std::nothrow) ZOV_Events_Area(getUuid());
        if (eventsArea == nullptr) {
            // The broker fails for good (statistics included): say why.
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
        } else {
            eventsArea->init(sharedMemory);
        }
    }
    ZOV_EXIT(fn);
}

void ZOV_Broker::cleanup() {
    static constexpr char fn[] = "ZOV_Broker::cleanup";
    ZOV_ENTRY(fn);
    delete sharedMemory;
    sharedMemory = nullptr;
    delete statsArea;
    statsArea = nullptr;
    delete eventsArea;
    eventsArea = nullptr;
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

ZOV_Execution_Group* ZOV_Broker::findExecutionGroup(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Broker::findExecutionGroup";
    ZOV_ENTRY(fn);
    ZOV_Execution_Group* group = executionGroupSet.findExecutionGroup(id);
    ZOV_EXIT_PTR(fn, group);
    return group;
}

ZOV_Execution_Group* ZOV_Broker::insertExecutionGroup(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Broker::insertExecutionGroup";
    ZOV_ENTRY(fn);
    ZOV_EGIR temporary(id);
    knownRecordIds.makeUnique(&temporary);
    ZOV_Execution_Group* group = insertExecutionGroup(&temporary);
    ZOV_EXIT_PTR(fn, group);
    return group;
}

ZOV_Execution_Group* ZOV_Broker::insertExecutionGroup(const ZOV_EGIR* record) {
    static constexpr char fn[] = "ZOV_Broker::insertExecutionGroup2";
    ZOV_ENTRY(fn);
    ZOV_Execution_Group* group = nullptr;
    if (record != nullptr) {
        group = new (std::nothrow) ZOV_Execution_Group(record);
        if (group == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (group->status != 0) {
            delete group;
            group = nullptr;
        } else {
            group->setParent(this);
            group->setIdRegistry(&knownRecordIds);
            if (executionGroupSet.insert(group) != ZOV_RC_OK) {
                ZOV_LOG_ALLOCATION_ERROR(fn);
                delete group;
                group = nullptr;
            }
        }
    }
    ZOV_EXIT_PTR(fn, group);
    return group;
}

ZOV_ReturnCode ZOV_Broker::findExecutionGroups(ZOV_Record_Set* set, int keepAll) {
    static constexpr char fn[] = "ZOV_Broker::findExecutionGroups";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (!set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        result = findExecutionGroups(index, keepAll);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::findExecutionGroups(const ZOV_Child_Index& index, int keepAll) {
    static constexpr char fn[] = "ZOV_Broker::findExecutionGroups";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    const auto& children = index.childrenOf(getRecordId());
    if (!children.empty()) {
        ZOV_Identity_Index groupsById(executionGroupSet);
        for (ZOV_Record* stored : children) {
            if (rebuildExecutionGroup(stored, groupsById, keepAll, index) != ZOV_RC_OK)
                result = ZOV_RC_NOT_FOUND;
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::rebuildExecutionGroup(ZOV_Record* stored, ZOV_Identity_Index& groupsById,
                                                 int keepAll, const ZOV_Child_Index& index) {
    // Only group records name the broker as their parent; anything else comes
    // from a corrupt area and counts as a group not made.
    const auto* record = dynamic_cast<const ZOV_EGIR*>(stored);
    if (record == nullptr)
        return ZOV_RC_NOT_FOUND;
    const ZOV_Resource_ID id = record->getResourceId();
    auto* group = static_cast<ZOV_Execution_Group*>(groupsById.find(&id));
    if (group == nullptr) {
        group = insertExecutionGroup(record);
        if (group == nullptr)
            return ZOV_RC_NOT_FOUND;
        groupsById.add(group);
    }
    group->findMessageFlows(index, keepAll);
    if (keepAll == 0 && group->messageFlows() == 0) {
        groupsById.remove(group);
        executionGroupSet.removeAndDestroy(group);
    }
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Broker::getRecords(ZOV_Record_Set* set) {
    static constexpr char fn[] = "ZOV_Broker::getRecords";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (informationRecord == nullptr) {
        result = ZOV_RC_NO_RECORD;
    } else {
        if (set->insert(informationRecord) != ZOV_RC_OK)
            result = ZOV_RC_NO_RECORD;
        for (size_t i = 0; i < executionGroupSet.entries(); ++i)
            result = executionGroupSet.at(i)->getRecords(set);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Broker::deleteNode(ZOV_Node* node) {
    static constexpr char fn[] = "ZOV_Broker::deleteNode";
    ZOV_ENTRY(fn);
    if (node != nullptr) {
        node->markDeleted();
        ZOV_REIR* record = node->getInformationRecord();
        if (record != nullptr) {
            AreaLock areaLock(this);
            // Take over what the area holds first, so that only the deleted
            // flag changes there, whatever else this tree's copy holds.
            getRecord(record);
            record->markDeleted();
            putRecord(record);
        }
    }
    ZOV_EXIT(fn);
}

int ZOV_Broker::isEmpty() {
    static constexpr char fn[] = "ZOV_Broker::isEmpty";
    ZOV_ENTRY(fn);
    const int result = statsArea == nullptr || statsArea->getStatus() != 0
                           ? 1
                           : statsArea->memoryManager.isEmpty();
    ZOV_EXIT_RC(fn, result);
    return result;
}

uint32_t ZOV_Broker::lastResetTime() const {
    const ZOV_BRIR* record = getBrokerRecord();
    return record != nullptr ? record->getResetTime() : 0;
}

void ZOV_Broker::print() {
    static constexpr char fn[] = "ZOV_Broker::print";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::print();
    executionGroupSet.print();
    ZOV_EXIT(fn);
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
    if (eventsArea == nullptr)
        createEventsArea();
    if (eventsArea != nullptr && eventsArea->status == 0) {
        ZOV_PRINT(fn, "Events area");
        eventsArea->dump();
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
            if (stored != nullptr && brokerRecord != nullptr)
                *brokerRecord = *stored;
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
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (status != 0) {
        result = ZOV_RC_FAILED;
    } else {
        ZOV_Record_Set set;
        getRecords(&set);
        for (ZOV_Record* record : set)
            putRecord(record);
        set.clear();  // the records belong to the resources
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::putRecord(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Broker::putRecord";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = statsArea != nullptr ? statsArea->put(record) : ZOV_RC_OK;
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
        RecordLock recordLock(record);
        // One reset is enough when the record belongs to this broker's tree
        // (its stored image is zeroed). A record outside the tree stays at its
        // maximum: it is reported rather than reset again without end.
        for (int resets = 0;; ++resets) {
            getRecord(record);
            result = record->updateStatistics(queuedTime, elapsedTime, size);
            if (result != ZOV_RC_MAXIMUM || resets == 1)
                break;
            ZOV_String label = getLabel();
            ZOV_LogMessage(_ZOV_UNIT_, __LINE__, fn, ZOV_MSG_MAXIMUM_REACHED, label.getcValue());
            resetStatistics();
        }
        if (result == ZOV_RC_OK)
            putRecord(record);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

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
// Readers' aggregation

void ZOV_Broker::initStatistics() {
    static constexpr char fn[] = "ZOV_Broker::initStatistics";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::initStatistics();
    for (size_t i = 0; i < executionGroupSet.entries(); ++i)
        executionGroupSet.at(i)->initStatistics();
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Broker::getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) {
    static constexpr char fn[] = "ZOV_Broker::getStatistics";
    ZOV_ENTRY(fn);
    if (statisticsGathered == 0) {
        for (size_t i = 0; i < executionGroupSet.entries(); ++i) {
            executionGroupSet.at(i)->getStatistics(statistics[ZOV_SLOT_INPUT],
                                                   statistics[ZOV_SLOT_OUTPUT],
                                                   statistics[ZOV_SLOT_OTHER]);
        }
        statisticsGathered = 1;
    }
    const ZOV_ReturnCode result = ZOV_MQSI_Resource::getStatistics(input, output, other);
    ZOV_EXIT_RC(fn, result);
    return result;
}

// ---------------------------------------------------------------------------
// Events

ZOV_EVTR* ZOV_Broker::setEventTemplate(ZOV_EVTR* eventTemplate) {
    static constexpr char fn[] = "ZOV_Broker::setEventTemplate";
    ZOV_ENTRY(fn);
    ZOV_EVTR* result = nullptr;
    if (status == 0 && eventTemplate != nullptr) {
        if (eventsArea == nullptr)
            createEventsArea();
        if (eventsArea != nullptr && eventsArea->status == 0)
            result = eventsArea->setEventTemplate(eventTemplate);
    }
    ZOV_EXIT_PTR(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::postEvent(ZOV_EVDR* data) {
    static constexpr char fn[] = "ZOV_Broker::postEvent";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result;
    if (status != 0)
        result = ZOV_RC_FAILED;
    else if (data == nullptr)
        result = ZOV_RC_MISSING;
    else if (eventsArea == nullptr || eventsArea->status != 0)
        result = ZOV_RC_FAILED;  // the events area is not created here
    else
        result = eventsArea->postEvent(data);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Broker::getEvents(ZOV_Ordered_Record_Set* events) {
    static constexpr char fn[] = "ZOV_Broker::getEvents";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result;
    if (status != 0) {
        result = ZOV_RC_FAILED;
    } else {
        if (eventsArea == nullptr)
            createEventsArea();
        if (eventsArea == nullptr)
            result = ZOV_RC_ALLOCATION;
        else if (eventsArea->status != 0)
            result = ZOV_RC_FAILED;
        else
            result = eventsArea->getEvents(events);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}
