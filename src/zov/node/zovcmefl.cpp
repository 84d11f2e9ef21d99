#include "zov/node/zovcmefl.h"

#include "zov/node/zovcmsre-inl.h"
#include "zov/core/zovcstir.h"

// The message flow logs under its execution group's unit.
static constexpr char _ZOV_UNIT_[] = "zovcexgr";

template class ZOV_Parent_Resource<ZOV_Node, ZOV_NOIR, ZOV_Node_Set>;

namespace {

constexpr ZOV_Level_Names kFlowNames = {
    _ZOV_UNIT_,
    "ZOV_Message_Flow::findNode",
    "ZOV_Message_Flow::insertNode",
    "ZOV_Message_Flow::insertNode2",
    "ZOV_Message_Flow::findNodes",
    "ZOV_Message_Flow::getRecords",
    "ZOV_Message_Flow::initStatistics",
    "ZOV_Message_Flow::getStatistics",
    "ZOV_Message_Flow::resetStatistics",
    "ZOV_Message_Flow::print",
};

}  // namespace

ZOV_Message_Flow::ZOV_Message_Flow(const ZOV_Resource_ID* id)
    : ZOV_Parent_Resource(kFlowNames, nodeSet, ZOV_RT_MESSAGE_FLOW, id) {
    static constexpr char fn[] = "ZOV_Message_Flow::ZOV_Message_Flow";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Message_Flow::ZOV_Message_Flow(const ZOV_MFIR* record)
    : ZOV_Parent_Resource(kFlowNames, nodeSet, record) {
    static constexpr char fn[] = "ZOV_Message_Flow::ZOV_Message_Flow";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Message_Flow::~ZOV_Message_Flow() {
    static constexpr char fn[] = "ZOV_Message_Flow::~ZOV_Message_Flow";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Message_Flow::cleanup() {
    static constexpr char fn[] = "ZOV_Message_Flow::cleanup";
    ZOV_ENTRY(fn);
    nodeSet.cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Message_Flow::drawChildRecordIds(ZOV_Node* node) {
    // The node's new statistics record names the node as parent, whose ID is
    // final by now.
    if (node->getNodeStatistics() != nullptr)
        idRegistry->makeUnique(node->getNodeStatistics());
}

ZOV_ReturnCode ZOV_Message_Flow::findNodes(ZOV_Record_Set* set, int keepAll) {
    static constexpr char fn[] = "ZOV_Message_Flow::findNodes";
    ZOV_ENTRY(fn);
    if (set != nullptr && !set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        rebuildChildren(index, keepAll);
    }
    ZOV_EXIT_RC(fn, ZOV_RC_OK);
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Message_Flow::rebuildChild(ZOV_Record* stored, ZOV_Identity_Index& nodesById,
                                              int keepAll, const ZOV_Child_Index& index) {
    // Only node records name a flow as their parent; anything else comes
    // from a corrupt area and is passed over rather than read as one.
    const auto* record = dynamic_cast<const ZOV_NOIR*>(stored);
    if (record == nullptr)
        return ZOV_RC_OK;
    const ZOV_Resource_ID id = record->getResourceId();
    ZOV_Node* node = findIndexedChild(&id, nodesById);
    if (node != nullptr) {
        // Another process brought the node back: take over its live record's
        // header, place and type, never its texts. The record is alike this
        // node, so the texts are equal, and other threads of the node may be
        // reading them without a lock: reassigning them would free that memory.
        ZOV_NOIR* live = node->getNodeRecord();
        if (node->isDeleted() && !record->isDeleted() && live != nullptr) {
            static_cast<ZOV_Record&>(*live) = *record;
            live->setNodeType(static_cast<ZOV_NodeType>(record->getNodeTypeValue()));
        }
    } else {
        if (keepAll == 0 && record->isDeleted())
            return ZOV_RC_OK;
        node = insertNode(record);
        if (node != nullptr)
            nodesById.add(node);
    }
    if (node != nullptr)
        node->findStatistics(index);
    return ZOV_RC_OK;
}

ZOV_Message_Flow* ZOV_Message_Flow_Set::findMessageFlow(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_Message_Flow_Set::findMessageFlow";
    ZOV_ENTRY(fn);
    ZOV_Message_Flow* const found = find(id);
    ZOV_EXIT_PTR(fn, found);
    return found;
}
