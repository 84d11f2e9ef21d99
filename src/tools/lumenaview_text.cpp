#include "tools/lumenaview_text.h"

#include <string>

#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

std::string indent(int level) {
    return std::string(2 * level, ' ');
}

// Texts from the records may hold anything: control characters are shown as
// escapes, never sent to the terminal.
std::string shown(const std::string& text) {
    return escapeForTerminal(text);
}

std::string quoted(const std::string& text) {
    return '"' + shown(text) + '"';
}

// Resources may be stored without a UUID; then only the label identifies them.
std::string uuidText(const std::string& uuid) {
    return uuid.empty() ? "" : "  uuid " + shown(uuid);
}

std::string rateText(const std::optional<double>& rate) {
    return rate ? "  (" + formatRate(*rate) + ")" : "";
}

long double average(long double sum, long double count) {
    return count > 0 ? sum / count : 0;
}

// Three lines for one set of statistics: count and sizes, times, collection.
void writeStats(std::ostream& out, int level, const Stats& s, const std::optional<double>& rate) {
    const std::string pad = indent(level);
    if (s.empty()) {
        out << pad << "messages 0" << rateText(rate) << "  (none since the reset)\n";
        return;
    }
    out << pad << "messages " << formatCount(s.count) << rateText(rate) << "   size avg "
        << formatBytes(average(s.sumSize, s.count)) << "  min " << formatBytes(s.minSize)
        << "  max " << formatBytes(s.maxSize) << '\n';
    out << pad << "elapsed avg " << formatDuration(average(s.sumElapsedMs, s.count)) << "  min "
        << formatDuration(s.minElapsedMs) << "  max " << formatDuration(s.maxElapsedMs);
    if (s.queuedAbsent()) {
        out << "   queued not collected\n";
    } else {
        out << "   queued avg " << formatDuration(average(s.sumQueuedMs, s.count)) << "  min "
            << formatDuration(s.minQueuedMs) << "  max " << formatDuration(s.maxQueuedMs) << '\n';
    }
    out << pad << "collected " << formatLocalTime(s.firstCollection) << " .. "
        << formatLocalTime(s.lastCollection) << '\n';
}

// The sums of one resource, slot by slot; empty slots in one line.
void writeSums(std::ostream& out, int level, const std::string& title, const SlotStats& sums,
               const SlotRates& rates) {
    out << indent(level) << title << '\n';
    std::string empty;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (sums[slot].empty() && !(rates[slot] && *rates[slot] > 0)) {
            empty += empty.empty() ? slotName(slot) : std::string(", ") + slotName(slot);
            continue;
        }
        out << indent(level + 1) << slotName(slot) << " nodes:\n";
        writeStats(out, level + 2, sums[slot], rates[slot]);
    }
    if (!empty.empty())
        out << indent(level + 1) << empty << " nodes: no messages\n";
}

void writeNode(std::ostream& out, const NodeView& node, const TextOptions& options) {
    out << indent(3) << "Node " << quoted(node.label) << " [" << nodeTypeName(node.type) << "]"
        << (node.deleted ? " DELETED" : "") << (node.unstable ? " UNSTABLE" : "")
        << uuidText(node.uuid) << '\n';
    if (options.showSegment)
        out << indent(4) << "record " << toHex(node.recordId.data(), node.recordId.size()) << '\n';
    if (!node.hasStatistics) {
        out << indent(4) << "no statistics record\n";
        return;
    }
    writeStats(out, 4, node.stats, node.rate);
}

void writeFlow(std::ostream& out, const FlowView& flow, const TextOptions& options) {
    out << indent(2) << "Message flow " << quoted(flow.label) << uuidText(flow.uuid) << '\n';
    for (const NodeView& node : flow.nodes) {
        if (options.showDeleted || !node.deleted)
            writeNode(out, node, options);
    }
    writeSums(out, 3, "Sums of flow " + quoted(flow.label) + ":", flow.sums, flow.rates);
}

void writeGroup(std::ostream& out, const GroupView& group, const TextOptions& options) {
    out << indent(1) << "Execution group " << quoted(group.label) << uuidText(group.uuid)
        << "  process " << group.processId << " (" << processStateName(group.process) << ")\n";
    for (const FlowView& flow : group.flows)
        writeFlow(out, flow, options);
    writeSums(out, 2, "Sums of execution group " + quoted(group.label) + ":", group.sums,
              group.rates);
}

void writeAreas(std::ostream& out, const BrokerView& view) {
    for (const AreaView& area : view.areas) {
        out << indent(1) << "area " << area.eyecatcher << " at offset " << area.offset << ": "
            << area.size << " bytes, next " << area.nextOffset << ", last " << area.lastOffset
            << ", updated " << formatUnixtime(area.lastUpdate) << '\n';
    }
}

void writeProblems(std::ostream& out, const BrokerView& view) {
    for (const Problem& problem : view.problems) {
        out << indent(1) << "PROBLEM at offset " << problem.offset << ": " << shown(problem.message)
            << '\n';
    }
    if (view.detachedRecords > 0) {
        out << indent(1) << "note: " << view.detachedRecords
            << " records of the statistics area belong to no resource shown\n";
    }
}

void writeEvent(std::ostream& out, const EventView& e) {
    out << indent(1) << formatUnixtime(e.created) << "  ";
    if (e.hasTemplate) {
        out << quoted(e.groupLabel) << " / " << quoted(e.flowLabel) << " / " << quoted(e.nodeLabel)
            << " [" << nodeTypeName(e.nodeType) << "]  " << shown(e.text) << '\n';
    } else {
        out << "(template not found)\n";
    }
    out << indent(2) << "event time " << formatLocalTime(e.eventTime) << "  thread " << e.threadId
        << "  put " << shown(e.putDate) << ' ' << shown(e.putTime) << " by "
        << quoted(e.putApplName) << " (type " << e.putApplType << ")\n";
    out << indent(2) << "message id " << e.messageId << "\n"
        << indent(2) << "correl id  " << e.correlationId << '\n';
}

void writeEvents(std::ostream& out, const BrokerView& view) {
    out << indent(1) << "Events: " << view.events.size()
        << (view.events.empty() ? " (none new)\n" : "\n");
    for (const EventView& event : view.events)
        writeEvent(out, event);
}

}  // namespace

void writeText(std::ostream& out, const BrokerView& view, const TextOptions& options) {
    if (!view.refused.empty()) {
        out << "REFUSED key file " << shown(view.keyFile) << " (" << view.refused << ")\n"
            << indent(1) << shown(view.error) << '\n';
        return;
    }
    out << "Broker " << (view.found ? quoted(view.label) : std::string("(no broker record)"))
        << "  uuid " << shown(view.uuid) << '\n';
    if (!view.error.empty()) {
        out << indent(1) << "ERROR: " << shown(view.error) << '\n';
        return;
    }
    out << indent(1) << "snapshot " << formatLocalUnix(view.takenAt) << ", segment "
        << view.segmentSize << " bytes, key file " << shown(view.keyFile) << '\n';
    if (!view.filter.empty())
        out << indent(1) << "only " << shown(view.filter) << ": the sums are of what is shown\n";
    out << indent(1) << "statistics reset " << formatLocalTime(view.resetTime) << '\n';
    if (options.showSegment)
        writeAreas(out, view);
    writeProblems(out, view);
    if (view.areas.empty())
        out << indent(1) << "no areas yet\n";
    for (const GroupView& group : view.groups)
        writeGroup(out, group, options);
    if (view.found)
        writeSums(out, 1,
                  view.filter.empty() ? "Sums of the broker:" : "Sums of what is shown:", view.sums,
                  view.rates);
    if (view.eventsShown)
        writeEvents(out, view);
}

}  // namespace lumenaview
