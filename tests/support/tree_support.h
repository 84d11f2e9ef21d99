// Test helpers for the resource tree: identities, joins, statistics read back.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "zov/node/zovcbrkr.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"

namespace zovtest {

inline ZOV_Resource_ID identity(const std::string& uuid, const std::string& label) {
    const ZOV_String u(uuid.c_str());
    const ZOV_String l(label.c_str());
    return ZOV_Resource_ID(&u, &l);
}

inline const ZOV_Resource_ID& brokerIdentity() {
    static const ZOV_Resource_ID id = identity("6f1c2d3e-0000-4000-8000-00000000b0b0", "BRK1");
    return id;
}

inline std::unique_ptr<ZOV_Broker> makeBroker() {
    return std::make_unique<ZOV_Broker>(&brokerIdentity());
}

// A join as a monitoring node makes it: under the area lock, read the area, find
// or insert group, flow and node, undelete, set the type, reset all statistics.
inline ZOV_Node* join(ZOV_Broker& broker, const std::string& group, const std::string& flow,
                      const std::string& node, ZOV_NodeType type = ZOV_NT_OTHER,
                      int processId = 4711) {
    const ZOV_Resource_ID groupId = identity("eg-" + group, group);
    const ZOV_Resource_ID flowId = identity("mf-" + flow, flow);
    const ZOV_Resource_ID nodeId = identity("no-" + node, node);
    broker.lockStatsArea();
    broker.readStatsArea(1);
    ZOV_Execution_Group* eg = broker.findExecutionGroup(&groupId);
    eg = eg != nullptr ? eg : broker.insertExecutionGroup(&groupId);
    ZOV_Node* result = nullptr;
    if (eg != nullptr) {
        eg->setProcessId(processId);
        ZOV_Message_Flow* mf = eg->findMessageFlow(&flowId);
        mf = mf != nullptr ? mf : eg->insertMessageFlow(&flowId);
        if (mf != nullptr) {
            result = mf->findNode(&nodeId);
            if (result == nullptr)
                result = mf->insertNode(&nodeId);
            else if (result->isDeleted())
                result->undelete();
        }
    }
    if (result != nullptr) {
        result->setNodeType(type);
        broker.resetStatistics();
    }
    broker.unlockStatsArea();
    return result;
}

inline std::unique_ptr<ZOV_STIR> storedStatistics(ZOV_Broker& broker, const ZOV_Node& node) {
    auto copy = std::make_unique<ZOV_STIR>(0);
    *copy = *node.getNodeStatistics();
    broker.getRecord(copy.get());
    return copy;
}

// By node label, as a reader finds them in the area.
struct AreaCounts {
    std::map<std::string, double> messages;
    std::map<std::string, int> records;
};

inline AreaCounts readAreaCounts(ZOV_Broker& reader) {
    AreaCounts counts;
    ZOV_Record_Set set;
    if (reader.getStatsArea() == nullptr || reader.getStatsArea()->read(&set) != ZOV_RC_OK)
        return counts;
    for (ZOV_Record* record : set) {
        const auto* node = dynamic_cast<const ZOV_NOIR*>(record);
        if (node == nullptr)
            continue;
        ZOV_String label = node->getLabel();
        ++counts.records[label.getcValue()];
        for (ZOV_Record* candidate : set) {
            const auto* stats = dynamic_cast<const ZOV_STIR*>(candidate);
            if (stats != nullptr && stats->isChildOf(node))
                counts.messages[label.getcValue()] = static_cast<double>(stats->getMessageCount());
        }
    }
    set.clearAndDestroy();
    return counts;
}

inline double asDouble(__float128 value) {
    return static_cast<double>(value);
}

}  // namespace zovtest
