// The viewer's output for people: one indented block per broker.
#pragma once

#include <ostream>

#include "tools/lumenaview_model.h"

namespace lumenaview {

struct TextOptions {
    bool showDeleted = true;  // list nodes marked deleted (their figures count in the sums)
    bool showSegment = true;  // the area headers and the record IDs
};

// The broker, its areas, problems, tree, statistics and sums, then its events
// when they were decoded.
void writeText(std::ostream& out, const BrokerView& view, const TextOptions& options);

}  // namespace lumenaview
