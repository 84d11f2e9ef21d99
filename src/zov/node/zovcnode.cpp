#include "zov/node/zovcnode.h"

#include <new>

#include "zov/core/zovcnoir.h"
#include "zov/core/zovcstir.h"

static constexpr char _ZOV_UNIT_[] = "zovcnode";

ZOV_Node::ZOV_Node(const ZOV_Resource_ID* id) : ZOV_MQSI_Resource(ZOV_RT_NODE, id) {
    static constexpr char fn[] = "ZOV_Node::ZOV_Node";
    ZOV_ENTRY(fn);
    init();
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Node::ZOV_Node(const ZOV_NOIR* record) : ZOV_MQSI_Resource(record) {
    static constexpr char fn[] = "ZOV_Node::ZOV_Node";
    ZOV_ENTRY(fn);
    init();
    if (status != 0) {
        cleanup();
    } else if (record != nullptr && getNodeRecord() != nullptr) {
        // The whole node record, so that the stored type is kept as it is: a
        // type outside 1-3 stays outside and then counts in no slot.
        *getNodeRecord() = *record;
    }
    ZOV_EXIT(fn);
}

ZOV_Node::~ZOV_Node() {
    static constexpr char fn[] = "ZOV_Node::~ZOV_Node";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Node::init() {
    static constexpr char fn[] = "ZOV_Node::init";
    ZOV_ENTRY(fn);
    if (status == 0) {
        nodeStatistics = new (std::nothrow) ZOV_STIR(1);
        if (nodeStatistics == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
        } else {
            nodeStatistics->setParent(getRecordId());
        }
    }
    ZOV_EXIT(fn);
}

void ZOV_Node::cleanup() {
    static constexpr char fn[] = "ZOV_Node::cleanup";
    ZOV_ENTRY(fn);
    delete nodeStatistics;
    nodeStatistics = nullptr;
    ZOV_EXIT(fn);
}

ZOV_NOIR* ZOV_Node::getNodeRecord() const {
    // A node built from a null record holds a plain resource record.
    return dynamic_cast<ZOV_NOIR*>(informationRecord);
}

ZOV_ReturnCode ZOV_Node::getRecords(ZOV_Record_Set* set) {
    static constexpr char fn[] = "ZOV_Node::getRecords";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else {
        if (informationRecord == nullptr || set->insert(informationRecord) != 0)
            result = ZOV_RC_NO_RECORD;
        if (nodeStatistics == nullptr || set->insert(nodeStatistics) != 0)
            result = ZOV_RC_NO_RECORD;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Node::findStatistics(ZOV_Record_Set* set) {
    static constexpr char fn[] = "ZOV_Node::findStatistics";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set != nullptr && !set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        result = takeStoredStatistics(index);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Node::findStatistics(const ZOV_Child_Index& index) {
    static constexpr char fn[] = "ZOV_Node::findStatistics";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = takeStoredStatistics(index);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Node::takeStoredStatistics(const ZOV_Child_Index& index) {
    // Only a statistics record names a node as its parent; any other child
    // comes from a corrupt area and is passed over rather than read as one.
    for (ZOV_Record* child : index.childrenOf(getRecordId())) {
        if (const auto* stored = dynamic_cast<const ZOV_STIR*>(child)) {
            insertStatistics(stored);
            return ZOV_RC_OK;
        }
    }
    return ZOV_RC_NOT_FOUND;
}

ZOV_STIR* ZOV_Node::insertStatistics(const ZOV_STIR* record) {
    static constexpr char fn[] = "ZOV_Node::insertStatistics";
    ZOV_ENTRY(fn);
    if (record != nullptr && nodeStatistics != nullptr && record != nodeStatistics)
        *nodeStatistics = *record;
    ZOV_EXIT_PTR(fn, nodeStatistics);
    return nodeStatistics;
}

void ZOV_Node::markDeleted() {
    static constexpr char fn[] = "ZOV_Node::markDeleted";
    ZOV_ENTRY(fn);
    if (informationRecord != nullptr)
        informationRecord->markDeleted();
    ZOV_EXIT(fn);
}

void ZOV_Node::undelete() {
    static constexpr char fn[] = "ZOV_Node::undelete";
    ZOV_ENTRY(fn);
    if (informationRecord != nullptr)
        informationRecord->undelete();
    ZOV_EXIT(fn);
}

int ZOV_Node::isDeleted() const {
    static constexpr char fn[] = "ZOV_Node::isDeleted";
    ZOV_ENTRY(fn);
    const int result = informationRecord != nullptr ? informationRecord->isDeleted() : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_Node::nodeTypeValue() const {
    const ZOV_NOIR* record = getNodeRecord();
    return record != nullptr ? record->getNodeTypeValue() : 0;
}

ZOV_NodeType ZOV_Node::getNodeType() const {
    static constexpr char fn[] = "ZOV_Node::getNodeType";
    ZOV_ENTRY(fn);
    const ZOV_NOIR* record = getNodeRecord();
    const ZOV_NodeType result = record != nullptr ? record->getNodeType() : ZOV_NT_OTHER;
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Node::setNodeType(ZOV_NodeType type) {
    static constexpr char fn[] = "ZOV_Node::setNodeType";
    ZOV_ENTRY(fn);
    ZOV_NOIR* record = getNodeRecord();
    if (record != nullptr)
        record->setNodeType(type);
    ZOV_EXIT(fn);
}

void ZOV_Node::setLabel(const ZOV_String* label) {
    static constexpr char fn[] = "ZOV_Node::setLabel";
    ZOV_ENTRY(fn);
    if (informationRecord != nullptr)
        informationRecord->setLabel(label);
    ZOV_EXIT(fn);
}

void ZOV_Node::initStatistics() {
    static constexpr char fn[] = "ZOV_Node::initStatistics";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::initStatistics();
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Node::getStatistics(ZOV_STIR* input, ZOV_STIR* output, ZOV_STIR* other) {
    static constexpr char fn[] = "ZOV_Node::getStatistics";
    ZOV_ENTRY(fn);
    if (statisticsGathered == 0 && informationRecord != nullptr) {
        ZOV_STIR* slot = nullptr;
        switch (nodeTypeValue()) {
            case ZOV_NT_INPUT:
                slot = statistics[ZOV_SLOT_INPUT];
                break;
            case ZOV_NT_OUTPUT:
                slot = statistics[ZOV_SLOT_OUTPUT];
                break;
            case ZOV_NT_OTHER:
                slot = statistics[ZOV_SLOT_OTHER];
                break;
            default:  // a type outside 1-3 counts nowhere
                break;
        }
        if (slot != nullptr && nodeStatistics != nullptr)
            *slot = *nodeStatistics;
        statisticsGathered = 1;
    }
    const ZOV_ReturnCode result = ZOV_MQSI_Resource::getStatistics(input, output, other);
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Node::resetStatistics() {
    static constexpr char fn[] = "ZOV_Node::resetStatistics";
    ZOV_ENTRY(fn);
    if (nodeStatistics != nullptr)
        nodeStatistics->reset();
    ZOV_EXIT(fn);
}

ZOV_Node* ZOV_Node_Set::findNode(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_Node_Set::findNode";
    ZOV_ENTRY(fn);
    ZOV_Node* const found = find(id);
    ZOV_EXIT_PTR(fn, found);
    return found;
}
