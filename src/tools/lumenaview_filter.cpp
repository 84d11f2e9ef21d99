#include "tools/lumenaview_filter.h"

#include <fnmatch.h>

#include <algorithm>

namespace lumenaview {

namespace {

// The library's sum of two statistics records: empty ones add nothing, the
// first non-empty one gives the minimums and maximums.
void add(Stats& sum, const Stats& s) {
    if (s.empty())
        return;
    if (sum.empty()) {  // holds nothing yet: counts and sums are zero
        sum = s;
        return;
    }
    sum.count += s.count;
    sum.sumSize += s.sumSize;
    sum.sumElapsedMs += s.sumElapsedMs;
    sum.sumQueuedMs += s.sumQueuedMs;
    sum.maxSize = std::max(sum.maxSize, s.maxSize);
    sum.minSize = std::min(sum.minSize, s.minSize);
    sum.maxElapsedMs = std::max(sum.maxElapsedMs, s.maxElapsedMs);
    sum.minElapsedMs = std::min(sum.minElapsedMs, s.minElapsedMs);
    sum.maxQueuedMs = std::max(sum.maxQueuedMs, s.maxQueuedMs);
    sum.minQueuedMs = std::min(sum.minQueuedMs, s.minQueuedMs);
    sum.firstCollection = std::min(sum.firstCollection, s.firstCollection);
    sum.lastCollection = std::max(sum.lastCollection, s.lastCollection);
}

void add(SlotStats& sum, const SlotStats& part) {
    for (int slot = 0; slot < kSlots; ++slot)
        add(sum[slot], part[slot]);
}

// A node falls into the slot of its type; a type outside 1-3 into none.
SlotStats nodeSums(const NodeView& node) {
    SlotStats sums;
    if (node.hasStatistics && node.type >= 1 && node.type <= 3)
        add(sums[node.type - 1], node.stats);
    return sums;
}

template <typename T, typename Keep>
void keepOnly(std::vector<T>& items, Keep keep) {
    items.erase(std::remove_if(items.begin(), items.end(), [&](T& item) { return !keep(item); }),
                items.end());
}

std::string patterns(const char* option, const std::vector<std::string>& globs) {
    std::string text;
    for (const std::string& glob : globs)
        text += std::string(text.empty() ? "" : " ") + option + " '" + glob + "'";
    return text;
}

}  // namespace

std::string Filter::describe() const {
    std::string text;
    for (const std::string& part :
         {patterns("--group", groups), patterns("--flow", flows), patterns("--node", nodes)}) {
        if (!part.empty())
            text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

bool matchesAny(const std::vector<std::string>& globs, const std::string& label,
                const std::string& uuid) {
    if (globs.empty())
        return true;
    return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
        return fnmatch(glob.c_str(), label.c_str(), 0) == 0 ||
               fnmatch(glob.c_str(), uuid.c_str(), 0) == 0;
    });
}

void applyFilter(BrokerView& view, const Filter& filter) {
    if (!filter.narrowsTree())
        return;
    view.sums = {};
    keepOnly(view.groups, [&](GroupView& group) {
        if (!matchesAny(filter.groups, group.label, group.uuid))
            return false;
        group.sums = {};
        keepOnly(group.flows, [&](FlowView& flow) {
            if (!matchesAny(filter.flows, flow.label, flow.uuid))
                return false;
            flow.sums = {};
            keepOnly(flow.nodes, [&](const NodeView& node) {
                return matchesAny(filter.nodes, node.label, node.uuid);
            });
            for (const NodeView& node : flow.nodes)
                add(flow.sums, nodeSums(node));
            add(group.sums, flow.sums);
            return !flow.nodes.empty() || filter.nodes.empty();
        });
        add(view.sums, group.sums);
        return !group.flows.empty() || (filter.flows.empty() && filter.nodes.empty());
    });
    // An event without its template cannot be placed, so a filter leaves it out.
    keepOnly(view.events, [&](const EventView& event) {
        return event.hasTemplate && matchesAny(filter.groups, event.groupLabel, "") &&
               matchesAny(filter.flows, event.flowLabel, "") &&
               matchesAny(filter.nodes, event.nodeLabel, "");
    });
    view.filter = filter.describe();
}

}  // namespace lumenaview
