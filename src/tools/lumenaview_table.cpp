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

constexpr size_t kScreenWidth = 80;
constexpr int kCountWidth = 11;  // up to ten digits and a space
constexpr int kRateWidth = 9;
constexpr int kSizeWidth = 11;  // "1023.9 KiB" and a space
constexpr int kTimeWidth = 12;  // "59 min 59 s" and a space

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
                return s.queuedCollected() ? average(s.sumQueuedMs, s.count) : -1;
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

// The figures of one node, in the columns of the titles.
std::string figures(const NodeView& node, bool wide) {
    const Stats& s = node.stats;
    const bool none = !node.hasStatistics || s.empty();
    const auto shown = [none](const std::string& text) { return none ? "-" : text; };
    const auto queued = [&](long double ms) {
        return right(s.queuedCollected() ? formatDuration(ms) : "-", kTimeWidth);
    };
    std::string line = right(formatCount(s.count), kCountWidth) +
                       right(node.rate ? formatRate(*node.rate) : "-", kRateWidth) +
                       right(shown(formatBytes(average(s.sumSize, s.count))), kSizeWidth);
    if (wide)
        line += right(shown(formatBytes(s.maxSize)), kSizeWidth);
    line += queued(average(s.sumQueuedMs, s.count));
    if (wide)
        line += queued(s.maxQueuedMs);
    return line + right(shown(formatDuration(average(s.sumElapsedMs, s.count))), kTimeWidth);
}

std::string titles(bool wide) {
    return right("MESSAGES", kCountWidth) + right("MSG/S", kRateWidth) +
           right("AVG SIZE", kSizeWidth) + (wide ? right("MAX SIZE", kSizeWidth) : "") +
           right("AVG QUEUED", kTimeWidth) + (wide ? right("MAX QUEUED", kTimeWidth) : "") +
           right("AVG ELAPSED", kTimeWidth);
}

void writeBroker(std::ostream& out, const BrokerView& view, const TableOptions& options) {
    const char* eol = options.inPlace ? "\033[K\n" : "\n";
    out << "broker \"" << escapeForTerminal(view.label) << "\"";
    if (options.wide)
        out << " " << escapeForTerminal(view.uuid) << "  " << formatIsoUnix(view.takenAt);
    else
        out << "  " << formatLocalUnix(view.takenAt);
    if (!view.filter.empty())
        out << "  only " << escapeForTerminal(view.filter);
    out << eol;
    if (!view.error.empty()) {
        out << "  ERROR: " << escapeForTerminal(view.error) << eol;
        return;
    }
    const std::vector<Row> rows = rowsOf(view, options);
    const std::string header = titles(options.wide);
    // The name column takes what the figures leave of 80 columns (all it
    // needs in the wide form).
    const size_t room = header.size() < kScreenWidth ? kScreenWidth - header.size() : 4;
    size_t width = 4;
    for (const Row& row : rows)
        width = std::max(width, displayWidth(row.name));
    if (!options.wide)
        width = std::min(width, room);
    out << padded("NODE", width) << header << eol;
    for (const Row& row : rows) {
        if (displayWidth(row.name) > width)
            out << row.name << eol << std::string(width, ' ');
        else
            out << padded(row.name, width);
        out << figures(*row.node, options.wide) << eol;
    }
}

}  // namespace

void writeTable(std::ostream& out, const std::vector<BrokerView>& views,
                const TableOptions& options) {
    for (const BrokerView& view : views)
        writeBroker(out, view, options);
}

}  // namespace lumenaview
