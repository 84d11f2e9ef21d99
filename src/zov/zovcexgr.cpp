#include "zov/zovcexgr.h"

#include <new>

#include "zov/zovcegir.h"
#include "zov/zovcreir.h"
#include "zov/zovcstir.h"

static constexpr char _ZOV_UNIT_[] = "zovcexgr";

ZOV_Execution_Group::ZOV_Execution_Group(const ZOV_Resource_ID* id)
    : ZOV_MQSI_Resource(ZOV_RT_EXECUTION_GROUP, id) {
    static constexpr char fn[] = "ZOV_Execution_Group::ZOV_Execution_Group";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Execution_Group::ZOV_Execution_Group(const ZOV_EGIR* record) : ZOV_MQSI_Resource(record) {
    static constexpr char fn[] = "ZOV_Execution_Group::ZOV_Execution_Group";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    else if (record != nullptr)
        setProcessId(record->getProcessId());
    ZOV_EXIT(fn);
}

ZOV_Execution_Group::~ZOV_Execution_Group() {
    static constexpr char fn[] = "ZOV_Execution_Group::~ZOV_Execution_Group";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Execution_Group::cleanup() {
    static constexpr char fn[] = "ZOV_Execution_Group::cleanup";
    ZOV_ENTRY(fn);
    messageFlowSet.cleanup();
    ZOV_EXIT(fn);
}

ZOV_Message_Flow* ZOV_Execution_Group::findMessageFlow(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Execution_Group::findMessageFlow";
    ZOV_ENTRY(fn);
    ZOV_Message_Flow* flow = messageFlowSet.findMessageFlow(id);
    ZOV_EXIT_PTR(fn, flow);
    return flow;
}

ZOV_Message_Flow* ZOV_Execution_Group::insertMessageFlow(const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_Execution_Group::insertMessageFlow";
    ZOV_ENTRY(fn);
    ZOV_MFIR temporary(id);
    if (idRegistry != nullptr)
        idRegistry->makeUnique(&temporary);
    ZOV_Message_Flow* flow = insertMessageFlow(&temporary);
    ZOV_EXIT_PTR(fn, flow);
    return flow;
}

ZOV_Message_Flow* ZOV_Execution_Group::insertMessageFlow(const ZOV_MFIR* record) {
    static constexpr char fn[] = "ZOV_Execution_Group::insertMessageFlow2";
    ZOV_ENTRY(fn);
    ZOV_Message_Flow* flow = nullptr;
    if (record != nullptr) {
        flow = new (std::nothrow) ZOV_Message_Flow(record);
        if (flow == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (flow->status != 0) {
            delete flow;
            flow = nullptr;
        } else {
            flow->setParent(this);
            flow->setIdRegistry(idRegistry);
            if (messageFlowSet.insert(flow) != ZOV_RC_OK) {
                ZOV_LOG_ALLOCATION_ERROR(fn);
                delete flow;
                flow = nullptr;
            }
        }
    }
    ZOV_EXIT_PTR(fn, flow);
    return flow;
}

ZOV_ReturnCode ZOV_Execution_Group::findMessageFlows(ZOV_Record_Set* set, int keepAll) {
    static constexpr char fn[] = "ZOV_Execution_Group::findMessageFlows";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (!set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        result = findMessageFlows(index, keepAll);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Execution_Group::findMessageFlows(const ZOV_Child_Index& index, int keepAll) {
    static constexpr char fn[] = "ZOV_Execution_Group::findMessageFlows";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    const auto& children = index.childrenOf(getRecordId());
    if (!children.empty()) {
        ZOV_Identity_Index flowsById(messageFlowSet);
        for (ZOV_Record* stored : children) {
            // Only flow records name a group as their parent; anything else
            // comes from a corrupt area and counts as a flow not made.
            const auto* record = dynamic_cast<const ZOV_MFIR*>(stored);
            const ZOV_Resource_ID id =
                record != nullptr ? record->getResourceId() : ZOV_Resource_ID();
            auto* flow =
                record != nullptr ? static_cast<ZOV_Message_Flow*>(flowsById.find(&id)) : nullptr;
            if (flow == nullptr && record != nullptr) {
                flow = insertMessageFlow(record);
                flowsById.add(flow);
            }
            if (flow == nullptr) {
                result = ZOV_RC_NOT_FOUND;
                continue;
            }
            flow->findNodes(index, keepAll);
            if (keepAll == 0 && flow->nodes() == 0) {
                flowsById.remove(flow);
                messageFlowSet.removeAndDestroy(flow);
            }
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_Execution_Group::getProcessId() const {
    const auto* record = dynamic_cast<const ZOV_EGIR*>(informationRecord);
    return record != nullptr ? record->getProcessId() : 0;
}

void ZOV_Execution_Group::setProcessId(int processId) {
    static constexpr char fn[] = "ZOV_Execution_Group::setProcessId";
    ZOV_ENTRY(fn);
    auto* record = dynamic_cast<ZOV_EGIR*>(informationRecord);
    if (record != nullptr)
        record->setProcessId(processId);
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Execution_Group::getRecords(ZOV_Record_Set* set) {
    static constexpr char fn[] = "ZOV_Execution_Group::getRecords";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (informationRecord == nullptr) {
        result = ZOV_RC_NO_RECORD;
    } else {
        if (set->insert(informationRecord) != ZOV_RC_OK)
            result = ZOV_RC_NO_RECORD;
        for (size_t i = 0; i < messageFlowSet.entries(); ++i)
            result = messageFlowSet.at(i)->getRecords(set);
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Execution_Group::initStatistics() {
    static constexpr char fn[] = "ZOV_Execution_Group::initStatistics";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::initStatistics();
    for (size_t i = 0; i < messageFlowSet.entries(); ++i)
        messageFlowSet.at(i)->initStatistics();
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_Execution_Group::getStatistics(ZOV_STIR* input, ZOV_STIR* output,
                                                  ZOV_STIR* other) {
    static constexpr char fn[] = "ZOV_Execution_Group::getStatistics";
    ZOV_ENTRY(fn);
    if (statisticsGathered == 0) {
        for (size_t i = 0; i < messageFlowSet.entries(); ++i) {
            messageFlowSet.at(i)->getStatistics(statistics[ZOV_SLOT_INPUT],
                                                statistics[ZOV_SLOT_OUTPUT],
                                                statistics[ZOV_SLOT_OTHER]);
        }
        statisticsGathered = 1;
    }
    const ZOV_ReturnCode result = ZOV_MQSI_Resource::getStatistics(input, output, other);
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Execution_Group::resetStatistics() {
    static constexpr char fn[] = "ZOV_Execution_Group::resetStatistics";
    ZOV_ENTRY(fn);
    for (size_t i = 0; i < messageFlowSet.entries(); ++i)
        messageFlowSet.at(i)->resetStatistics();
    ZOV_EXIT(fn);
}

void ZOV_Execution_Group::print() {
    static constexpr char fn[] = "ZOV_Execution_Group::print";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource::print();
    messageFlowSet.print();
    ZOV_EXIT(fn);
}
