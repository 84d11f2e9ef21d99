// ZOV_Execution_Group: the second level of the monitored-resource tree, one
// per execution group of the broker, holding the flows that run in it and the
// process id of the execution-group process (in its ZOV_EGIR).
//
// The pattern of every inner level (group over flows, flow over nodes): find
// or insert a child by identity, rebuild children from the records of one
// read of the statistics area, contribute records for writing, pass
// statistics operations down and sums up.
#pragma once

#include "zov/zovcmefl.h"
#include "zov/zovcmsre.h"

class ZOV_EGIR;
class ZOV_MFIR;

class ZOV_Execution_Group : public ZOV_MQSI_Resource {
  public:
    // A new group (record type 3, fresh record ID).
    explicit ZOV_Execution_Group(const ZOV_Resource_ID* id);
    // A group rebuilt from its stored record, with the stored process id.
    explicit ZOV_Execution_Group(const ZOV_EGIR* record);
    ~ZOV_Execution_Group() override;

    // Destroys every flow; safe twice.
    void cleanup();

    ZOV_Message_Flow* findMessageFlow(const ZOV_Resource_ID* id);
    // A new flow for `id` (temporary flow record, fresh record ID, unique in
    // the registry when one is set), or null.
    ZOV_Message_Flow* insertMessageFlow(const ZOV_Resource_ID* id);
    // A flow built from a stored record, or null.
    ZOV_Message_Flow* insertMessageFlow(const ZOV_MFIR* record);
    // Rebuilds this group's flows from records read out of the area; with
    // keepAll 0 a flow left without nodes is dropped. ZOV_RC_NULL for a null
    // set; ZOV_RC_NOT_FOUND when a flow was neither found nor made.
    ZOV_ReturnCode findMessageFlows(ZOV_Record_Set* set, int keepAll);
    // The same through the index of one read of the area.
    ZOV_ReturnCode findMessageFlows(const ZOV_Child_Index& index, int keepAll);
    int messageFlows() const { return static_cast<int>(messageFlowSet.entries()); }
    ZOV_Message_Flow_Set& getMessageFlowSet() { return messageFlowSet; }

    // The process id in the information record; 0 without one.
    int getProcessId() const;
    // Stores the process id in the information record (not yet in the area).
    void setProcessId(int processId);

    ZOV_ReturnCode getRecords(ZOV_Record_Set* set) override;
    void initStatistics() override;
    ZOV_ReturnCode getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) override;
    void resetStatistics();
    void print() override;

  private:
    ZOV_Message_Flow_Set messageFlowSet;
};

class ZOV_Execution_Group_Set : public ZOV_Typed_Resource_Set<ZOV_Execution_Group> {
  public:
    // The first group alike `id`, or null; a null `id` finds nothing.
    ZOV_Execution_Group* findExecutionGroup(const ZOV_Resource_ID* id) const { return find(id); }
};
