// ZOV_Execution_Group: the second level of the monitored-resource tree, one
// per execution group of the broker, holding the flows that run in it and the
// process id of the execution-group process (in its ZOV_EGIR). Its flows are
// found, inserted, rebuilt and summed by the pattern of every level that has
// children (ZOV_Parent_Resource, zovcmsre.h).
#pragma once

#include "zov/node/zovcmefl.h"
#include "zov/node/zovcmsre.h"

class ZOV_EGIR;

// Compiled in zovcexgr.cpp.
extern template class ZOV_Parent_Resource<ZOV_Message_Flow, ZOV_MFIR, ZOV_Message_Flow_Set>;
extern template class ZOV_Grandparent_Resource<ZOV_Message_Flow, ZOV_MFIR, ZOV_Message_Flow_Set>;

class ZOV_Execution_Group
    : public ZOV_Grandparent_Resource<ZOV_Message_Flow, ZOV_MFIR, ZOV_Message_Flow_Set> {
  public:
    // A new group (record type 3, fresh record ID).
    explicit ZOV_Execution_Group(const ZOV_Resource_ID* id);
    // A group rebuilt from its stored record, with the stored process id.
    explicit ZOV_Execution_Group(const ZOV_EGIR* record);
    ~ZOV_Execution_Group() override;

    // Destroys every flow; safe twice.
    void cleanup();

    ZOV_Message_Flow* findMessageFlow(const ZOV_Resource_ID* id) { return findChild(id); }
    ZOV_Message_Flow* insertMessageFlow(const ZOV_Resource_ID* id) { return insertChild(id); }
    ZOV_Message_Flow* insertMessageFlow(const ZOV_MFIR* record) { return insertChild(record); }
    // With keepAll 0 a flow left without nodes is dropped.
    ZOV_ReturnCode findMessageFlows(ZOV_Record_Set* set, int keepAll) {
        return findChildren(set, keepAll);
    }
    ZOV_ReturnCode findMessageFlows(const ZOV_Child_Index& index, int keepAll) {
        return findChildren(index, keepAll);
    }
    int messageFlows() const { return childCount(); }
    ZOV_Message_Flow_Set& getMessageFlowSet() { return messageFlowSet; }

    // The process id in the information record; 0 without one.
    int getProcessId() const;
    // Stores the process id in the information record (not yet in the area).
    void setProcessId(int processId);

  private:
    ZOV_Message_Flow_Set messageFlowSet;
};

class ZOV_Execution_Group_Set : public ZOV_Typed_Resource_Set<ZOV_Execution_Group> {
  public:
    // The first group alike `id`, or null; a null `id` finds nothing.
    ZOV_Execution_Group* findExecutionGroup(const ZOV_Resource_ID* id) const;
};
