// ZOV_Message_Flow: the third level of the monitored-resource tree, one per
// message flow of an execution group, holding the flow's monitored nodes. It
// follows the pattern of every level that has children (ZOV_Parent_Resource,
// zovcmsre.h) with nodes as children; where it departs is the rebuild of
// nodes, in which the deleted flag of a stored node record decides, and the
// statistics record that a new node makes for itself.
#pragma once

#include "zov/node/zovcmsre.h"
#include "zov/node/zovcnode.h"
#include "zov/core/zovcnoir.h"

// Compiled in zovcmefl.cpp.
extern template class ZOV_Parent_Resource<ZOV_Node, ZOV_NOIR, ZOV_Node_Set>;

class ZOV_Message_Flow : public ZOV_Parent_Resource<ZOV_Node, ZOV_NOIR, ZOV_Node_Set> {
  public:
    // A new flow (record type 4, fresh record ID).
    explicit ZOV_Message_Flow(const ZOV_Resource_ID* id);
    // A flow rebuilt from its stored record.
    explicit ZOV_Message_Flow(const ZOV_MFIR* record);
    ~ZOV_Message_Flow() override;

    // Destroys every node; safe twice.
    void cleanup();

    ZOV_Node* findNode(const ZOV_Resource_ID* id) { return findChild(id); }
    // A new node for `id`; its statistics record's ID too is drawn unique in
    // the registry when one is set.
    ZOV_Node* insertNode(const ZOV_Resource_ID* id) { return insertChild(id); }
    ZOV_Node* insertNode(const ZOV_NOIR* record) { return insertChild(record); }
    // Rebuilds this flow's nodes from records read out of the area: a stored
    // node not in the tree is inserted (with keepAll 0 only when not deleted);
    // a node deleted in the tree whose stored record is live takes the stored
    // record; each node picks up its stored statistics. Returns 0, also for a
    // null set.
    ZOV_ReturnCode findNodes(ZOV_Record_Set* set, int keepAll);
    ZOV_ReturnCode findNodes(const ZOV_Child_Index& index, int keepAll) {
        return findChildren(index, keepAll);
    }
    // Number of nodes, deleted ones included.
    int nodes() const { return childCount(); }
    ZOV_Node_Set& getNodeSet() { return nodeSet; }

  protected:
    // One stored node record: never reports a node not made.
    ZOV_ReturnCode rebuildChild(ZOV_Record* stored, ZOV_Identity_Index& nodesById, int keepAll,
                                const ZOV_Child_Index& index) override;
    void drawChildRecordIds(ZOV_Node* node) override;

  private:
    ZOV_Node_Set nodeSet;
};

class ZOV_Message_Flow_Set : public ZOV_Typed_Resource_Set<ZOV_Message_Flow> {
  public:
    // The first flow alike `id`, or null; a null `id` finds nothing.
    ZOV_Message_Flow* findMessageFlow(const ZOV_Resource_ID* id) const;
};
