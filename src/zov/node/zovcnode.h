// ZOV_Node: the leaf of the monitored-resource tree, one per message-flow node
// that carries a monitoring node. Besides its information record (ZOV_NOIR:
// node type and deleted flag) it owns the one record the per-message path
// writes: the node's statistics record, whose parent record ID is the node's
// record ID.
#pragma once

#include "zov/node/zovcmsre.h"

class ZOV_NOIR;

class ZOV_Node : public ZOV_MQSI_Resource {
  public:
    // A new node (record type 5, fresh record ID) with a new statistics record.
    explicit ZOV_Node(const ZOV_Resource_ID* id);
    // A node rebuilt from its stored record: header, identity and node type.
    explicit ZOV_Node(const ZOV_NOIR* record);
    ~ZOV_Node() override;

    // Creates the statistics record as a child of this node.
    void init();
    // Deletes the statistics record; safe twice.
    void cleanup();

    // Adds the information and statistics records; ZOV_RC_NO_RECORD when one
    // is missing, ZOV_RC_NULL for a null set.
    ZOV_ReturnCode getRecords(ZOV_Record_Set* set) override;
    // Copies this node's stored statistics record (the first record whose
    // parent is this node) into the node: 0, or ZOV_RC_NOT_FOUND when the set
    // holds none (an empty or null set: 0).
    ZOV_ReturnCode findStatistics(ZOV_Record_Set* set);
    // The same through the index of one read of the area.
    ZOV_ReturnCode findStatistics(const ZOV_Child_Index& index);
    // Copies `record` (header, position, statistics) into the node's
    // statistics record when both exist; returns the node's record.
    ZOV_STIR* insertStatistics(const ZOV_STIR* record);
    // The node's statistics record, the one updated for every message.
    ZOV_STIR* getNodeStatistics() const { return nodeStatistics; }

    void markDeleted();
    void undelete();
    int isDeleted() const;
    // The type in the information record; 3 without one.
    ZOV_NodeType getNodeType() const;
    void setNodeType(ZOV_NodeType type);
    void setLabel(const ZOV_String* label);

    void initStatistics() override;
    // Copies the node's statistics into the slot of its type (once per
    // initStatistics), then adds the aggregates into the arguments.
    ZOV_ReturnCode getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) override;
    // Zeroes the node's statistics record; its record ID stays.
    void resetStatistics();

    // The information record as a node record; null without one or when it is
    // of another kind (a node built from a null record).
    ZOV_NOIR* getNodeRecord() const;

  private:
    // findStatistics without its trace lines.
    ZOV_ReturnCode takeStoredStatistics(const ZOV_Child_Index& index);
    // The stored node type as it is, 0 without a node record.
    int nodeTypeValue() const;

    ZOV_STIR* nodeStatistics = nullptr;
};

class ZOV_Node_Set : public ZOV_Typed_Resource_Set<ZOV_Node> {
  public:
    // The first node alike `id`, or null; a null `id` finds nothing.
    ZOV_Node* findNode(const ZOV_Resource_ID* id) const;
};
