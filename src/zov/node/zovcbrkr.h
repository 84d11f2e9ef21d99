// ZOV_Broker: the root of the monitored-resource tree and the one object
// through which a monitoring node reaches shared memory. It owns the segment
// object, the statistics area and (once first needed) the events area, keeps
// the in-process tree of execution groups, flows and nodes in step with the
// records of the statistics area, applies one message to one node's
// statistics record, and resets all statistics when a maximum is reached.
//
// Locks (all named, inter-process): the statistics area's lock before a
// record's mutex; never the area lock while holding a record's mutex; never
// the segment mutex under an area lock. updateStatistics takes the record's
// mutex alone, and at a maximum lets it go before it resets; resetStatistics
// takes the area lock and, inside it, each statistics record's mutex while it
// writes that record; deleteNode takes the area lock. A join of a node
// instance (read, find or insert, resetStatistics) runs between lockStatsArea
// and unlockStatsArea, so that simultaneous joins of the same new resource
// leave one record per identity.
//
// Threads: the tree has no lock of its own; it is changed only under the area
// lock. Texts that any thread of the node may read without a lock (the
// broker's label and UUID) are set at construction and never written again
// while the node runs: a rebuild from the area takes the stored broker
// record's place and reset time but keeps its own texts. The per-message
// updateStatistics walks no tree, allocates nothing and formats no text while
// tracing is off.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "zov/core/zovcegir.h"
#include "zov/node/zovcexgr.h"
#include "zov/node/zovcmsre.h"

class ZOV_BRIR;
class ZOV_EVDR;
class ZOV_EVTR;
class ZOV_Events_Area;
class ZOV_Shared_Memory;
class ZOV_Stats_Area;

// Compiled in zovcbrkr.cpp.
extern template class ZOV_Parent_Resource<ZOV_Execution_Group, ZOV_EGIR, ZOV_Execution_Group_Set>;
extern template class ZOV_Grandparent_Resource<ZOV_Execution_Group, ZOV_EGIR,
                                               ZOV_Execution_Group_Set>;

class ZOV_Broker
    : public ZOV_Grandparent_Resource<ZOV_Execution_Group, ZOV_EGIR, ZOV_Execution_Group_Set> {
  public:
    // Attaches the broker's segment (named by the UUID of `id`) and finds or
    // carves the statistics area. `status` is 301 when that fails.
    explicit ZOV_Broker(const ZOV_Resource_ID* id);
    ~ZOV_Broker() override;

    void init(const ZOV_Resource_ID* id);
    void createStatisticsArea();
    // The events area, created and published on the first call from any
    // thread; null when it could not be allocated.
    ZOV_Events_Area* createEventsArea();
    // Releases the segment object, the areas and the tree; safe twice.
    void cleanup();
    // Destroys the in-process tree; shared memory is not touched.
    void flush();

    ZOV_Execution_Group* findExecutionGroup(const ZOV_Resource_ID* id) { return findChild(id); }
    // A new group for `id`; its ID is drawn unique against the area and the
    // tree.
    ZOV_Execution_Group* insertExecutionGroup(const ZOV_Resource_ID* id) { return insertChild(id); }
    ZOV_Execution_Group* insertExecutionGroup(const ZOV_EGIR* record) {
        return insertChild(record);
    }
    // With keepAll 0 a group left without flows is dropped.
    ZOV_ReturnCode findExecutionGroups(ZOV_Record_Set* set, int keepAll) {
        return findChildren(set, keepAll);
    }
    ZOV_ReturnCode findExecutionGroups(const ZOV_Child_Index& index, int keepAll) {
        return findChildren(index, keepAll);
    }
    ZOV_Execution_Group_Set& getExecutionGroupSet() { return executionGroupSet; }

    // Marks the node deleted and writes its record under the area lock.
    void deleteNode(ZOV_Node* node);
    int isEmpty();
    // Seconds since 1901 of the last reset; 0 before any.
    uint32_t lastResetTime() const;
    void dump();

    // Rebuilds the tree from the area (keepAll 1: every stored resource,
    // deleted nodes included; 0: no deleted node is created, and groups and
    // flows left without children are dropped). Returns 0.
    ZOV_ReturnCode readStatsArea(int keepAll);
    // Writes every record of the tree into the area (nothing for a failed
    // broker). Returns 0.
    ZOV_ReturnCode populateStatsArea();
    // Write a record into, or refresh it from, the statistics area; 0 and
    // nothing done without an area.
    ZOV_ReturnCode putRecord(ZOV_Record* record);
    ZOV_ReturnCode getRecord(ZOV_Record* record);
    // The per-message entry: under the record's mutex, the stored image
    // updated in place. At a maximum: the mutex let go, then, when the record
    // is still at its maximum under the area lock, message 3 and
    // resetStatistics; and the update again.
    // ZOV_RC_FAILED for a failed broker, ZOV_RC_NULL for a null record.
    ZOV_ReturnCode updateStatistics(ZOV_STIR* record, double queuedTime, double elapsedTime,
                                    int size);
    // Under the area lock: rebuild (keepAll 0), zero every node's statistics,
    // new reset time, write the tree, each statistics record under its mutex.
    void resetStatistics();
    // The statistics area's lock, re-entrant for the thread that holds it.
    // Nothing happens without a statistics area.
    void lockStatsArea();
    void unlockStatsArea();

    // The stored template for `eventTemplate` (an equal one stored earlier, or
    // the argument once stored), or null.
    ZOV_EVTR* setEventTemplate(ZOV_EVTR* eventTemplate);
    // ZOV_RC_FAILED without a usable events area (it is not created here).
    ZOV_ReturnCode postEvent(ZOV_EVDR* data);
    // postEvent's way for a message's event with tracing off (see
    // ZOV_Events_Area::appendEvent); 8 without a usable events area.
    ZOV_ReturnCode appendEvent(const unsigned char* descriptor, int threadId,
                               const ZOV_Record_ID& parent);
    ZOV_ReturnCode getEvents(ZOV_Ordered_Record_Set* events);

    ZOV_BRIR* getBrokerRecord() const;
    ZOV_Shared_Memory* getSharedMemory() const { return sharedMemory; }
    ZOV_Stats_Area* getStatsArea() const { return statsArea; }
    ZOV_Events_Area* getEventsArea() const { return eventsArea.load(std::memory_order_acquire); }
    // IDs of every record read from the area and of every new record of the
    // tree; new groups, flows, nodes and statistics records draw against it.
    ZOV_Record_Id_Registry& getRecordIdRegistry() { return knownRecordIds; }

  private:
    [[gnu::always_inline]] inline ZOV_ReturnCode updateOnce(ZOV_STIR* record, double queuedTime,
                                                            double elapsedTime, int size);
    [[gnu::noinline]] ZOV_ReturnCode updateTraced(ZOV_STIR* record, void* image, double queuedTime,
                                                  double elapsedTime, int size);
    void resetAtMaximum(ZOV_STIR* record);
    // Registers the IDs of every record of one read of the area.
    void registerRecordIds(const ZOV_Record_Set& set);

    ZOV_Shared_Memory* sharedMemory = nullptr;
    ZOV_Stats_Area* statsArea = nullptr;
    // Published once, whole (initialised), and never replaced while the node
    // runs: any thread's first exception may create it, so creation is
    // serialised and readers load the pointer without a lock.
    std::atomic<ZOV_Events_Area*> eventsArea{nullptr};
    std::mutex eventsAreaCreation;
    ZOV_Execution_Group_Set executionGroupSet;
    ZOV_Record_Id_Registry knownRecordIds;
};
