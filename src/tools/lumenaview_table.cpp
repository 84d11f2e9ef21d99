#include "tools/lumenaview_table.h"

#include <algorithm>
#include <cstdio>

#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

struct Row {
    std::string name;  // group/flow/node, escaped
    const NodeView* node;
};

long double average(long double sum, long double count) {
    return count > 0 ? sum / count : 0;
}

std::string padded(const std::string& text, size_t width) {
    const size_t used = displayWidth(text);
    return text + std::string(width > used ? width - used : 0, ' ');
}

std::string right(const std::string& text, int width) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%*s", width, text.c_str());
    return buffer;
}

std::vector<Row> rowsOf(const BrokerView& view, const TableOptions& options) {
    std::vector<Row> rows;
    for (const GroupView& group : view.groups) {
        for (const FlowView& flow : group.flows) {
            for (const NodeView& node : flow.nodes) {
                if (!options.showDeleted && node.deleted)
                    continue;
                rows.push_back(
                    {escapeForTerminal(group.label + "/" + flow.label + "/" + node.label) +
                         (node.deleted ? " (deleted)" : ""),
                     &node});
            }
        }
    }
    const auto key = [&](const Row& row) -> long double {
        const Stats& s = row.node->stats;
        switch (options.sort) {
            case SortKey::kRate:
                return row.node->rate.value_or(-1);
            case SortKey::kMessages:
                return s.count;
            case SortKey::kQueued:
                return s.empty() ? -1 : average(s.sumQueuedMs, s.count);
            default:
                return 0;
        }
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        if (options.sort != SortKey::kName && key(a) != key(b))
            return key(a) > key(b);
        return a.name < b.name;
    });
    return rows;
}

void writeBroker(std::ostream& out, const BrokerView& view, const TableOptions& options) {
    const char* eol = options.inPlace ? "\033[K\n" : "\n";
    out << "broker \"" << escapeForTerminal(view.label) << "\" " << escapeForTerminal(view.uuid)
        << "  " << formatIsoUnix(view.takenAt);
    if (!view.filter.empty())
        out << "  only " << escapeForTerminal(view.filter);
    out << eol;
    if (!view.error.empty()) {
        out << "  ERROR: " << escapeForTerminal(view.error) << eol;
        return;
    }
    const std::vector<Row> rows = rowsOf(view, options);
    size_t width = 4;
    for (const Row& row : rows)
        width = std::max(width, displayWidth(row.name));
    out << padded("NODE", width) << right("MESSAGES", 11) << right("MSG/S", 9)
        << right("AVG SIZE", 10) << right("MAX SIZE", 10) << right("AVG QUEUED", 12)
        << right("MAX QUEUED", 12) << right("AVG ELAPSED", 12) << eol;
    for (const Row& row : rows) {
        const Stats& s = row.node->stats;
        const bool none = !row.node->hasStatistics || s.empty();
        const auto shown = [none](const std::string& text) { return none ? "-" : text; };
        out << padded(row.name, width) << right(formatCount(s.count), 11)
            << right(row.node->rate ? formatRate(*row.node->rate) : "-", 9)
            << right(shown(formatBytes(average(s.sumSize, s.count))), 10)
            << right(shown(formatBytes(s.maxSize)), 10)
            << right(shown(formatDuration(average(s.sumQueuedMs, s.count))), 12)
            << right(shown(formatDuration(s.maxQueuedMs)), 12)
            << right(shown(formatDuration(average(s.sumElapsedMs, s.count))), 12) << eol;
    }
}

}  // namespace

void writeTable(std::ostream& out, const std::vector<BrokerView>& views,
                const TableOptions& options) {
    for (const BrokerView& view : views)
        writeBroker(out, view, options);
}

}  // namespace lumenaview
