// Which brokers, execution groups, message flows and nodes are shown: shell
// globs (fnmatch) on a label or a UUID. A filtered view keeps only what
// matches and sums only what it keeps, so that every output adds up.
#pragma once

#include <string>
#include <vector>

#include "tools/lumenaview_model.h"

namespace lumenaview {

struct Filter {
    std::vector<std::string> brokers;  // each a glob on the label or the UUID
    std::vector<std::string> groups;
    std::vector<std::string> flows;
    std::vector<std::string> nodes;

    // Whether any part below the broker is filtered (the sums then change).
    bool narrowsTree() const { return !groups.empty() || !flows.empty() || !nodes.empty(); }
    // "--group 'EG*' --node In", for the outputs that say what they sum.
    std::string describe() const;
};

// True when no pattern is given or one matches the label or the UUID.
bool matchesAny(const std::vector<std::string>& patterns, const std::string& label,
                const std::string& uuid);

// Keeps the groups, flows, nodes and events that match, drops what is left
// empty, and replaces every sum by the sum of what is kept.
void applyFilter(BrokerView& view, const Filter& filter);

}  // namespace lumenaview
