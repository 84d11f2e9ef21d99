// The compact view: one line per node, for watching a broker live.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/lumenaview_model.h"

namespace lumenaview {

enum class SortKey { kRate, kMessages, kQueued, kName };

struct TableOptions {
    SortKey sort = SortKey::kName;
    bool showDeleted = true;
    // Ends every line with "erase to the end of the line", so that a screen
    // rewritten from its top left corner leaves nothing of the previous one.
    bool inPlace = false;
    // Also the maximum size and queued time, and the broker's UUID: wider
    // than 80 columns.
    bool wide = false;
};

// Per broker a header line (label, snapshot time, filter), the column titles
// and one line per node: messages, messages/s, average size, average queued
// time, average elapsed time ("-" where there is none). The default fits 80
// columns: a name too long for its column has a line of its own, its figures
// on the next. Rates, counts and queued times sort highest first, names
// alphabetically.
void writeTable(std::ostream& out, const std::vector<BrokerView>& views,
                const TableOptions& options);

}  // namespace lumenaview
