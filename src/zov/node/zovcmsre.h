// ZOV_MQSI_Resource: what the four levels of the monitored-resource tree
// (broker, execution group, message flow, node) share: an information record
// that is the in-process copy of the resource's record in the statistics area,
// and three aggregate statistics records, one per node type.
//
// The label, UUID, record ID and parent record ID are never kept in the object:
// they are read from the information record every time.
//
// Also here, shared by every level: the resource set, the indexes that keep a
// rebuild of the tree linear in the number of records, the registry of record
// IDs that keeps the IDs of new records unique in the area, and the pattern of
// every level that has children (ZOV_Parent_Resource).
//
// Threads: a tree has no lock of its own. It is changed only by the join of a
// node instance and by resetStatistics, both under the statistics area's lock
// (zovcbrkr.h); the per-message path does not walk it.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcreir.h"
#include "zov/core/zovcstrn.h"
#include "zov/core/zovctool.h"

class ZOV_STIR;

// Aggregate slots of `statistics`, one per node type (1, 2, 3).
enum ZOV_StatisticsSlot { ZOV_SLOT_INPUT = 0, ZOV_SLOT_OUTPUT = 1, ZOV_SLOT_OTHER = 2 };
inline constexpr int kZOVStatisticsSlots = 3;

struct ZOV_Record_ID_Hash {
    size_t operator()(const ZOV_Record_ID& id) const;
};

// Record IDs that are already taken: those of every record read from the
// statistics area and those given to new records of the tree. A new record
// that draws a taken ID draws again, since random() is never seeded and
// processes started together draw the same numbers.
class ZOV_Record_Id_Registry {
  public:
    // Takes `id`; 0, or ZOV_RC_ALLOCATION when it could not be stored.
    int add(const ZOV_Record_ID& id);
    bool contains(const ZOV_Record_ID& id) const { return ids.count(id) != 0; }
    // Draws the record's ID again while it is taken, then takes it. Returns
    // the number of draws made (0 when the ID was free).
    int makeUnique(ZOV_Record* record);
    size_t entries() const { return ids.size(); }
    // Draws made by makeUnique since construction.
    long redraws() const { return redrawCount; }

  private:
    std::unordered_set<ZOV_Record_ID, ZOV_Record_ID_Hash> ids;
    long redrawCount = 0;
};

// The records of one read of the area indexed by parent record ID, so that
// each level of a rebuild visits only its own children instead of scanning
// the whole set. Children keep the set's order. The set owns the records and
// must outlive the index.
class ZOV_Child_Index {
  public:
    explicit ZOV_Child_Index(const ZOV_Record_Collection& set);
    // The records whose parent record ID equals `parent`; empty for null.
    const std::vector<ZOV_Record*>& childrenOf(const ZOV_Record_ID* parent) const;
    // 0, or ZOV_RC_ALLOCATION when the index could not be built completely.
    int status = 0;

  private:
    std::unordered_map<ZOV_Record_ID, std::vector<ZOV_Record*>, ZOV_Record_ID_Hash> children;
};

class ZOV_MQSI_Resource {
  public:
    // A new resource: an information record of `type` with a fresh record ID,
    // the UUID and label of `id`. `status` is 301 when it cannot be made.
    ZOV_MQSI_Resource(ZOV_RecordType type, const ZOV_Resource_ID* id);
    // A resource rebuilt from a stored record (null: type 1, no identity).
    explicit ZOV_MQSI_Resource(const ZOV_REIR* record);
    virtual ~ZOV_MQSI_Resource();
    ZOV_MQSI_Resource(const ZOV_MQSI_Resource&) = delete;
    ZOV_MQSI_Resource& operator=(const ZOV_MQSI_Resource&) = delete;

    // Zeroes (creating where missing) the three aggregate records and marks
    // them not gathered.
    virtual void initStatistics();
    // Adds (does not copy) the aggregate of each slot into the argument of
    // that slot. ZOV_RC_MISSING when a slot is missing on either side.
    virtual ZOV_ReturnCode getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other);
    // Type, label and UUID lines, whether or not tracing is on.
    virtual void print();
    // Adds the records to write to the area; the base adds nothing and returns 1.
    virtual ZOV_ReturnCode getRecords(ZOV_Record_Set* set);

    void setInformationRecord(ZOV_RecordType type, const ZOV_Resource_ID* id);
    // Deletes the information record and the aggregates; safe twice.
    void cleanup();

    const ZOV_Record_ID* getRecordId() const;
    const ZOV_Record_ID* getParentId() const;
    void setParent(const ZOV_MQSI_Resource* parent);
    int isChildOf(const ZOV_MQSI_Resource* parent) const;
    int alike(const ZOV_Resource_ID* id) const;
    ZOV_Resource_ID getResourceId() const;
    ZOV_String getLabel() const;
    ZOV_String getUuid() const;
    ZOV_RecordType getType() const;

    ZOV_REIR* getInformationRecord() const { return informationRecord; }
    ZOV_STIR* getAggregate(ZOV_StatisticsSlot slot) const { return statistics[slot]; }
    int isStatisticsGathered() const { return statisticsGathered; }

    // Registry that new children of this resource draw unique IDs against;
    // null (the default) draws without a check. Set by the parent at insert.
    void setIdRegistry(ZOV_Record_Id_Registry* registry) { idRegistry = registry; }
    ZOV_Record_Id_Registry* getIdRegistry() const { return idRegistry; }

    int status = 0;

  protected:
    ZOV_REIR* informationRecord = nullptr;
    ZOV_STIR* statistics[kZOVStatisticsSlots] = {nullptr, nullptr, nullptr};
    int statisticsGathered = 0;
    ZOV_Record_Id_Registry* idRegistry = nullptr;
};

// An unordered set of owned resources, each held once by address. Nothing
// prevents two members with alike identities: callers find before they insert.
// Destroying the set destroys its members.
class ZOV_MQSI_Resource_Set {
  public:
    ZOV_MQSI_Resource_Set() = default;
    ~ZOV_MQSI_Resource_Set() { cleanup(); }
    ZOV_MQSI_Resource_Set(const ZOV_MQSI_Resource_Set&) = delete;
    ZOV_MQSI_Resource_Set& operator=(const ZOV_MQSI_Resource_Set&) = delete;

    // Takes ownership. 0; ZOV_RC_NULL for null (nothing done);
    // ZOV_RC_ALLOCATION when it could not be stored (the caller keeps it).
    int insert(ZOV_MQSI_Resource* resource);
    // The first member alike `id` in iteration order; null for a null `id`.
    ZOV_MQSI_Resource* findAlike(const ZOV_Resource_ID* id) const;
    bool contains(const ZOV_MQSI_Resource* resource) const;
    // Removes and destroys `resource` when it is a member.
    void removeAndDestroy(ZOV_MQSI_Resource* resource);
    // Destroys every member and empties the set; safe twice.
    void cleanup();
    size_t entries() const { return members.size(); }
    ZOV_MQSI_Resource* at(size_t index) const { return members[index]; }
    // Calls print of every member in iteration order.
    void print();

  private:
    // insert without its trace lines.
    int store(ZOV_MQSI_Resource* resource);

    std::vector<ZOV_MQSI_Resource*> members;
    std::unordered_map<const ZOV_MQSI_Resource*, size_t> positions;
};

// The set of one kind of child: typed insert, find and access.
template <class Resource>
class ZOV_Typed_Resource_Set : public ZOV_MQSI_Resource_Set {
  public:
    int insert(Resource* resource) { return ZOV_MQSI_Resource_Set::insert(resource); }
    Resource* find(const ZOV_Resource_ID* id) const {
        return static_cast<Resource*>(findAlike(id));
    }
    Resource* at(size_t index) const {
        return static_cast<Resource*>(ZOV_MQSI_Resource_Set::at(index));
    }
};

// Walks a set once: each member, then null. Changing the set restarts nothing:
// do not change a set while walking it.
class ZOV_MQSI_Resource_Set_Iterator {
  public:
    explicit ZOV_MQSI_Resource_Set_Iterator(const ZOV_MQSI_Resource_Set& set) : set(set) {}
    ZOV_MQSI_Resource* operator()() { return index < set.entries() ? set.at(index++) : nullptr; }
    void reset() { index = 0; }

  private:
    const ZOV_MQSI_Resource_Set& set;
    size_t index = 0;
};

// The children of one resource by identity, for one rebuild step: finding a
// child for each stored record by scanning the set would make a rebuild
// quadratic. Built from the set at the start of the step and kept in step
// with its inserts and removals; labels must not change meanwhile.
class ZOV_Identity_Index {
  public:
    explicit ZOV_Identity_Index(const ZOV_MQSI_Resource_Set& set);
    // A member alike `id` (any one when several are), or null.
    ZOV_MQSI_Resource* find(const ZOV_Resource_ID* id) const;
    void add(ZOV_MQSI_Resource* resource);
    void remove(const ZOV_MQSI_Resource* resource);
    // 0, or ZOV_RC_ALLOCATION when an entry could not be stored; find then
    // falls back to scanning the set.
    int status = 0;

  private:
    static size_t hash(const ZOV_Resource_ID& id);

    const ZOV_MQSI_Resource_Set& set;
    std::unordered_multimap<size_t, ZOV_MQSI_Resource*> byIdentity;
};

// ---------------------------------------------------------------------------
// The pattern of every level that has children: the broker over execution
// groups, the execution group over message flows, the message flow over
// nodes. Find or insert a child by identity, rebuild the children from one
// read of the statistics area, give the records of the subtree for writing,
// pass statistics operations down and sums up. Each level keeps its own
// operation names as forwarders and traces under its own names.

// The unit and the function names under which a level traces the operations
// it has from ZOV_Parent_Resource.
struct ZOV_Level_Names {
    const char* unit;
    const char* findChild;         // "ZOV_Execution_Group::findMessageFlow"
    const char* insertChild;       // "ZOV_Execution_Group::insertMessageFlow"
    const char* insertFromRecord;  // "ZOV_Execution_Group::insertMessageFlow2"
    const char* findChildren;      // "ZOV_Execution_Group::findMessageFlows"
    const char* getRecords;
    const char* initStatistics;
    const char* getStatistics;
    const char* resetStatistics;
    const char* print;
};

// A resource whose children are of the kind `Child`, stored as `ChildRecord`
// and kept in the level's own `ChildSet` (executionGroupSet, messageFlowSet,
// nodeSet), which the level passes in before it is constructed and which no
// constructor here touches.
template <class Child, class ChildRecord, class ChildSet>
class ZOV_Parent_Resource : public ZOV_MQSI_Resource {
  public:
    ZOV_Parent_Resource(const ZOV_Level_Names& names, ChildSet& children, ZOV_RecordType type,
                        const ZOV_Resource_ID* id)
        : ZOV_MQSI_Resource(type, id), names(names), childSet(children) {}
    ZOV_Parent_Resource(const ZOV_Level_Names& names, ChildSet& children, const ZOV_REIR* record)
        : ZOV_MQSI_Resource(record), names(names), childSet(children) {}

    // The first child alike `id`, or null; a null `id` finds nothing.
    Child* findChild(const ZOV_Resource_ID* id);
    // A new child for `id`: a temporary child record with a fresh record ID
    // (drawn unique in the registry when one is set), inserted from it.
    Child* insertChild(const ZOV_Resource_ID* id);
    // A new child built from a stored record, made a child of this resource
    // and put in the set; null for a null record or when it cannot be made.
    // No check for an alike child is made: callers find first.
    Child* insertChild(const ChildRecord* record);
    // Rebuilds the children from records read out of the area. ZOV_RC_NULL
    // for a null set; ZOV_RC_NOT_FOUND when a child was neither found nor made.
    ZOV_ReturnCode findChildren(ZOV_Record_Set* set, int keepAll);
    // The same through the index of one read of the area.
    ZOV_ReturnCode findChildren(const ZOV_Child_Index& index, int keepAll);
    int childCount() const { return static_cast<int>(childSet.entries()); }

    // This resource's information record, then the records of each child;
    // the result is that of the last child (0 without children).
    ZOV_ReturnCode getRecords(ZOV_Record_Set* set) override;
    void initStatistics() override;
    // Sums the children into the aggregates (once per initStatistics), then
    // adds the aggregates into the arguments.
    ZOV_ReturnCode getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) override;
    // Resets the statistics of every child; the aggregates are not touched.
    // The broker has its own, which publishes the whole tree (zovcbrkr.h).
    void resetStatistics();
    void print() override;

  protected:
    // findChildren without its trace lines.
    ZOV_ReturnCode rebuildChildren(const ZOV_Child_Index& index, int keepAll);
    // findChild through the identity index of one rebuild step: the same
    // trace lines, without a scan of the set.
    Child* findIndexedChild(const ZOV_Resource_ID* id, const ZOV_Identity_Index& childrenById);
    // Step 2 of findChildren for one stored record that names this resource
    // as its parent; ZOV_RC_NOT_FOUND when no child was found or made.
    virtual ZOV_ReturnCode rebuildChild(ZOV_Record* stored, ZOV_Identity_Index& childrenById,
                                        int keepAll, const ZOV_Child_Index& index) = 0;
    // For a child just made for an identity: draws unique IDs for the records
    // the child made itself besides its information record. None by default.
    virtual void drawChildRecordIds(Child*) {}

    const ZOV_Level_Names& names;
    ChildSet& childSet;
};

// A level whose children have children of their own (the broker over
// execution groups, the execution group over message flows): the rebuild
// step finds or inserts the child, rebuilds the child's children, and with
// keepAll 0 drops the child when it is left without any.
template <class Child, class ChildRecord, class ChildSet>
class ZOV_Grandparent_Resource : public ZOV_Parent_Resource<Child, ChildRecord, ChildSet> {
  public:
    using ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::ZOV_Parent_Resource;

  protected:
    // A stored record of another kind than the child's counts as a child not
    // made.
    ZOV_ReturnCode rebuildChild(ZOV_Record* stored, ZOV_Identity_Index& childrenById, int keepAll,
                                const ZOV_Child_Index& index) override;
};

// The operations of the levels are compiled once, in each level's module
// (zovcmsre-inl.h).
