#include "zov/node/zovcexgr.h"

#include "zov/core/zovcegir.h"
#include "zov/node/zovcmsre-inl.h"

static constexpr char _ZOV_UNIT_[] = "zovcexgr";

template class ZOV_Parent_Resource<ZOV_Message_Flow, ZOV_MFIR, ZOV_Message_Flow_Set>;
template class ZOV_Grandparent_Resource<ZOV_Message_Flow, ZOV_MFIR, ZOV_Message_Flow_Set>;

namespace {

constexpr ZOV_Level_Names kGroupNames = {
    _ZOV_UNIT_,
    "ZOV_Execution_Group::findMessageFlow",
    "ZOV_Execution_Group::insertMessageFlow",
    "ZOV_Execution_Group::insertMessageFlow2",
    "ZOV_Execution_Group::findMessageFlows",
    "ZOV_Execution_Group::getRecords",
    "ZOV_Execution_Group::initStatistics",
    "ZOV_Execution_Group::getStatistics",
    "ZOV_Execution_Group::resetStatistics",
    "ZOV_Execution_Group::print",
};

}  // namespace

ZOV_Execution_Group::ZOV_Execution_Group(const ZOV_Resource_ID* id)
    : ZOV_Grandparent_Resource(kGroupNames, messageFlowSet, ZOV_RT_EXECUTION_GROUP, id) {
    static constexpr char fn[] = "ZOV_Execution_Group::ZOV_Execution_Group";
    ZOV_ENTRY(fn);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Execution_Group::ZOV_Execution_Group(const ZOV_EGIR* record)
    : ZOV_Grandparent_Resource(kGroupNames, messageFlowSet, record) {
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

ZOV_Execution_Group* ZOV_Execution_Group_Set::findExecutionGroup(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_Execution_Group_Set::findExecutionGroup";
    ZOV_ENTRY(fn);
    ZOV_Execution_Group* const found = find(id);
    ZOV_EXIT_PTR(fn, found);
    return found;
}
