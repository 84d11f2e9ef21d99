#include "zov/zovcmefl.h"

#include <new>

#include "zov/zovcnoir.h"
#include "zov/zovcreir.h"
#include "zov/zovcstir.h"

// The message flow logs under its execution group's unit.
static constexpr char _ZOV_UNIT_[] = "zovcexgr";

ZOV_Message_Flow::ZOV_Message_Flow(const ZOV_Resource_ID* id)
    : ZOV_MQSI_Resource(ZOV_RT_MESSAGE_FLOW, id) {
    static constexpr char fn[] = "ZOV_Message_Flow::ZOV_Message_Flow";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Message_Flow::ZOV_Message_Flow(const ZOV_MFIR* record) : ZOV_MQSI_Resource(record) {
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

ZOV_Node* ZOV_Message_Flow::findNode(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Message_Flow::findNode";
    ZOV_ENTRY(fn);
    ZOV_Node* node = nodeSet.findNode(id);
    ZOV_EXIT_PTR(fn, node);
    return node;
}

ZOV_Node* ZOV_Message_Flow::insertNode(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Message_Flow::insertNode";
    ZOV_ENTRY(fn);
    ZOV_NOIR temporary(id);
    if (idRegistry != nullptr)
        idRegistry->makeUnique(&temporary);
    ZOV_Node* node = insertNode(&temporary);
    // The node's new statistics record must be unique too; it names the
    // node as parent, whose ID is final by now.
    if (node != nullptr && idRegistry != nullptr && node->getNodeStatistics() != nullptr)
        idRegistry->makeUnique(node->getNodeStatistics());
    ZOV_EXIT_PTR(fn, node);
    return node;
}

ZOV_Node* ZOV_Message_Flow::insertNode(const ZOV_NOIR* record) {
    static constexpr char fn[] = "ZOV_Message_Flow::insertNode2";
    ZOV_ENTRY(fn);
    ZOV_Node* node = nullptr;
    if (record != nullptr) {
        node = new (std::nothrow) ZOV_Node(record);
        if (node == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (node->status != 0) {
            delete node;
            node = nullptr;
        } else {
            node->setParent(this);
            node->setIdRegistry(idRegistry);
            if (nodeSet.insert(node) != ZOV_RC_OK) {
                ZOV_LOG_ALLOCATION_ERROR(fn);
                delete node;
                node = nullptr;
            }
        }
    }
    ZOV_EXIT_PTR(fn, node);
    return node;
}

ZOV_ReturnCode ZOV_Message_Flow::findNodes(ZOV_Record_Set* set, int keepAll) {
    static constexpr char fn[] = "ZOV_Message_Flow::findNodes";
    ZOV_ENTRY(fn);
    if (set != nullptr && !set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        findNodes(index, keepAll);
    }
    ZOV_EXIT_RC(fn, ZOV_RC_OK);
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_Message_Flow::findNodes(const ZOV_Child_Index& index, int keepAll) {
    static constexpr char fn[] = "ZOV_Message_Flow::findNodes";
    ZOV_ENTRY(fn);
    const auto& children = index.childrenOf(getRecordId());
    if (!children.empty()) {
        ZOV_Identity_Index nodesById(nodeSet);
        for (ZOV_Record* stored : children)
            rebuildNode(stored, nodesById, keepAll, index);
    }
    ZOV_EXIT_RC(fn, ZOV_RC_OK);
    return ZOV_RC_OK;
}

void ZOV_Message_Flow::rebuildNode(ZOV_Record* stored, ZOV_Identity_Index& nodesById, int keepAll,
                                   const ZOV_Child_Index& index) {
    // Only node records name a flow as their parent; anything else comes
    // from a corrupt area and is passed over rather than read as one.
    const auto* record = dynamic_cast<const ZOV_NOIR*>(stored);
    if (record == nullptr)
        return;
    const ZOV_Resource_ID id = record->getResourceId();
    auto* node = static_cast<ZOV_Node*>(nodesById.find(&id));
    if (node != nullptr) {
        // Another process brought the node back: take over its live record.
        if (node->isDeleted() && !record->isDeleted() && node->getNodeRecord() != nullptr)
            *node->getNodeRecord() = *record;
    } else {
        if (keepAll == 0 && record->isDeleted())
            return;
        node = insertNode(record);
        if (node != nullptr)
            nodesById.add(node);
    }
    if (node != nullptr)
        node->findStatistics(index);
}

ZOV_ReturnCode ZOV_Message_Flow::getRecords(ZOV_Record_Set* set) {
    static constexpr char fn[] = "ZOV_Message_Flow::getRecords";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (informationRecord == nullptr) {
        result = ZOV_RC_NO_RECORD;
    } else {
        if (set->insert(informationRecord) != ZOV_RC_OK)
            result = ZOV_RC_NO_RECORD;
        for (size_t i = 0; i < nodeSet.entries(); ++i)
            result = nodeSet.at(i)->getRecords(set);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Message_Flow::initStatistics() {
    static constexpr char fn[] = "ZOV_Message_Flow::initStatistics";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::initStatistics();
    for (size_t i = 0; i < nodeSet.entries(); ++i)
        nodeSet.at(i)->initStatistics();
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Message_Flow::getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) {
    static constexpr char fn[] = "ZOV_Message_Flow::getStatistics";
    ZOV_ENTRY(fn);
    if (statisticsGathered == 0) {
        for (size_t i = 0; i < nodeSet.entries(); ++i) {
            nodeSet.at(i)->getStatistics(statistics[ZOV_SLOT_INPUT], statistics[ZOV_SLOT_OUTPUT],
                                         statistics[ZOV_SLOT_OTHER]);
        }
        statisticsGathered = 1;
    }
    const ZOV_ReturnCode result = ZOV_MQSI_Resource::getStatistics(input, output, other);
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Message_Flow::resetStatistics() {
    static constexpr char fn[] = "ZOV_Message_Flow::resetStatistics";
    ZOV_ENTRY(fn);
    for (size_t i = 0; i < nodeSet.entries(); ++i)
        nodeSet.at(i)->resetStatistics();
    ZOV_EXIT(fn);
}

void ZOV_Message_Flow::print() {
    static constexpr char fn[] = "ZOV_Message_Flow::print";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::print();
    nodeSet.print();
    ZOV_EXIT(fn);
}
