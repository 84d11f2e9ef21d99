// ZOV_Message_Flow: the third level of the monitored-resource tree, one per
// message flow of an execution group, holding the flow's monitored nodes. It
// follows the execution group's pattern (zovcexgr.h) with nodes as children;
// where it departs is the rebuild of nodes, in which the deleted flag of a
// stored node record decides.
#pragma once

#include "zov/zovcmsre.h"
#include "zov/zovcnode.h"

class ZOV_MFIR;
class ZOV_NOIR;

class ZOV_Message_Flow : public ZOV_MQSI_Resource {
  public:
    // A new flow (record type 4, fresh record ID).
    explicit ZOV_Message_Flow(const ZOV_Resource_ID* id);
    // A flow rebuilt from its stored record.
    explicit ZOV_Message_Flow(const ZOV_MFIR* record);
    ~ZOV_Message_Flow() override;

    // Destroys every node; safe twice.
    void cleanup();

    ZOV_Node* findNode(const ZOV_Resource_ID* id);
    // A new node for `id` (temporary node record, fresh record ID, unique in
    // the registry when one is set), or null.
    ZOV_Node* insertNode(const ZOV_Resource_ID* id);
    // A node built from a stored record, or null.
    ZOV_Node* insertNode(const ZOV_NOIR* record);
    // Rebuilds this flow's nodes from records read out of the area: a stored
    // node not in the tree is inserted (with keepAll 0 only when not deleted);
    // a node deleted in the tree whose stored record is live takes the stored
    // record; each node picks up its stored statistics. Returns 0.
    ZOV_ReturnCode findNodes(ZOV_Record_Set* set, int keepAll);
    // The same through the index of one read of the area.
    ZOV_ReturnCode findNodes(const ZOV_Child_Index& index, int keepAll);
    // Number of nodes, deleted ones included.
    int nodes() const { return static_cast<int>(nodeSet.entries()); }
    ZOV_Node_Set& getNodeSet() { return nodeSet; }

    ZOV_ReturnCode getRecords(ZOV_Record_Set* set) override;
    void initStatistics() override;
    ZOV_ReturnCode getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) override;
    void resetStatistics();
    void print() override;

  private:
    // One stored record of a child of this flow (step 2 of findNodes).
    void rebuildNode(ZOV_Record* stored, ZOV_Identity_Index& nodesById, int keepAll,
                     const ZOV_Child_Index& index);

    ZOV_Node_Set nodeSet;
};

class ZOV_Message_Flow_Set : public ZOV_Typed_Resource_Set<ZOV_Message_Flow> {
  public:
    // The first flow alike `id`, or null; a null `id` finds nothing.
    ZOV_Message_Flow* findMessageFlow(const ZOV_Resource_ID* id) const { return find(id); }
};
