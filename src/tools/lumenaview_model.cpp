#include "tools/lumenaview_model.h"

#include <map>

namespace lumenaview {

const char* slotName(int slot) {
    switch (slot) {
        case kInputSlot:
            return "input";
        case kOutputSlot:
            return "output";
        default:
            return "other";
    }
}

const char* nodeTypeName(int type) {
    switch (type) {
        case 1:
            return "input";
        case 2:
            return "output";
        case 3:
            return "other";
        default:
            return "unknown";
    }
}

const char* processStateName(ProcessState state) {
    switch (state) {
        case ProcessState::kAlive:
            return "alive";
        case ProcessState::kGone:
            return "gone";
        default:
            return "unknown";
    }
}

namespace {

// Resources are matched across refreshes by identity (label and UUID), the
// way the library itself tells them apart.
std::string identity(const std::string& label, const std::string& uuid) {
    return label + '\n' + uuid;
}

std::optional<double> rate(long double now, long double before, double seconds) {
    if (seconds <= 0)
        return std::nullopt;
    const long double delta = now >= before ? now - before : now;
    return static_cast<double>(delta / seconds);
}

SlotRates slotRates(const SlotStats& now, const SlotStats& before, double seconds) {
    SlotRates rates;
    for (int slot = 0; slot < kSlots; ++slot) {
        rates[slot] = rate(now[slot].count, before[slot].count, seconds);
    }
    return rates;
}

template <typename T>
std::map<std::string, const T*> byIdentity(const std::vector<T>& items) {
    std::map<std::string, const T*> index;
    for (const T& item : items)
        index.emplace(identity(item.label, item.uuid), &item);
    return index;
}

void applyFlowRates(FlowView& flow, const FlowView& before, double seconds) {
    flow.rates = slotRates(flow.sums, before.sums, seconds);
    const auto nodes = byIdentity(before.nodes);
    for (NodeView& node : flow.nodes) {
        const auto it = nodes.find(identity(node.label, node.uuid));
        if (it != nodes.end())
            node.rate = rate(node.stats.count, it->second->stats.count, seconds);
    }
}

void applyGroupRates(GroupView& group, const GroupView& before, double seconds) {
    group.rates = slotRates(group.sums, before.sums, seconds);
    const auto flows = byIdentity(before.flows);
    for (FlowView& flow : group.flows) {
        const auto it = flows.find(identity(flow.label, flow.uuid));
        if (it != flows.end())
            applyFlowRates(flow, *it->second, seconds);
    }
}

}  // namespace

void applyRates(BrokerView& now, const BrokerView& previous) {
    const double seconds = now.monotonicAt - previous.monotonicAt;
    now.rates = slotRates(now.sums, previous.sums, seconds);
    const auto groups = byIdentity(previous.groups);
    for (GroupView& group : now.groups) {
        const auto it = groups.find(identity(group.label, group.uuid));
        if (it != groups.end())
            applyGroupRates(group, *it->second, seconds);
    }
}

}  // namespace lumenaview
