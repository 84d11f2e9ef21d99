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
};

// Per broker a header line (label, UUID, snapshot time, filter), the column
// titles and one line per node: messages, messages/s, average and maximum
// size, average and maximum queued time, average elapsed time. Rates, counts
// and queued times sort highest first, names alphabetically.
void writeTable(std::ostream& out, const std::vector<BrokerView>& views,
                const TableOptions& options);

}  // namespace lumenaview
