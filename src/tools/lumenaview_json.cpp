#include "tools/lumenaview_json.h"

#include <cmath>

#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

using Json = nlohmann::ordered_json;

// The sums are whole numbers: exact as integers up to 2^64, doubles beyond.
Json number(long double value) {
    if (value >= 0 && value < 18446744073709551616.0L && std::floor(value) == value) {
        return static_cast<uint64_t>(value);
    }
    return static_cast<double>(value);
}

Json orNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json time1901(uint32_t secondsSince1901) {
    const std::string text = formatIsoTime(secondsSince1901);
    return text.empty() ? Json(nullptr) : Json(text);
}

Json measure(long double sum, long double count, int32_t min, int32_t max, bool empty) {
    Json j;
    j["sum"] = number(sum);
    j["avg"] = empty ? Json(nullptr) : Json(static_cast<double>(sum / count));
    j["min"] = empty ? Json(nullptr) : Json(min);
    j["max"] = empty ? Json(nullptr) : Json(max);
    return j;
}

Json stats(const Stats& s, const std::optional<double>& rate) {
    Json j;
    j["messages"] = number(s.count);
    j["rate_per_second"] = rate ? Json(*rate) : Json(nullptr);
    j["size_bytes"] = measure(s.sumSize, s.count, s.minSize, s.maxSize, s.empty());
    j["elapsed_ms"] = measure(s.sumElapsedMs, s.count, s.minElapsedMs, s.maxElapsedMs, s.empty());
    j["queued_ms"] = s.queuedAbsent()
                         ? Json(nullptr)
                         : measure(s.sumQueuedMs, s.count, s.minQueuedMs, s.maxQueuedMs, s.empty());
    j["first_collection"] = time1901(s.firstCollection);
    j["last_collection"] = time1901(s.lastCollection);
    return j;
}

Json sums(const SlotStats& sums, const SlotRates& rates) {
    Json j = Json::object();
    for (int slot = 0; slot < kSlots; ++slot)
        j[slotName(slot)] = stats(sums[slot], rates[slot]);
    return j;
}

Json node(const NodeView& n) {
    Json j;
    j["label"] = n.label;
    j["uuid"] = n.uuid;
    j["record_id"] = toHex(n.recordId.data(), n.recordId.size());
    j["type"] = nodeTypeName(n.type);
    j["deleted"] = n.deleted;
    j["unstable"] = n.unstable;
    j["statistics"] = n.hasStatistics ? stats(n.stats, n.rate) : Json(nullptr);
    return j;
}

Json flow(const FlowView& f) {
    Json j;
    j["label"] = f.label;
    j["uuid"] = f.uuid;
    j["sums"] = sums(f.sums, f.rates);
    j["nodes"] = Json::array();
    for (const NodeView& n : f.nodes)
        j["nodes"].push_back(node(n));
    return j;
}

Json group(const GroupView& g) {
    Json j;
    j["label"] = g.label;
    j["uuid"] = g.uuid;
    j["process_id"] = g.processId;
    j["process"] = processStateName(g.process);
    j["sums"] = sums(g.sums, g.rates);
    j["message_flows"] = Json::array();
    for (const FlowView& f : g.flows)
        j["message_flows"].push_back(flow(f));
    return j;
}

Json area(const AreaView& a) {
    Json j;
    j["eyecatcher"] = a.eyecatcher;
    j["offset"] = a.offset;
    j["size"] = a.size;
    j["next_offset"] = a.nextOffset;
    j["last_offset"] = a.lastOffset;
    j["last_update"] = orNull(formatIsoUnixtime(a.lastUpdate));
    return j;
}

Json event(const EventView& e) {
    Json j;
    j["offset"] = e.offset;
    j["record_id"] = e.recordId;
    j["created"] = orNull(formatIsoUnixtime(e.created));
    j["event_time"] = time1901(e.eventTime);
    j["thread_id"] = e.threadId;
    j["message_id"] = e.messageId;
    j["correlation_id"] = e.correlationId;
    j["put_appl_type"] = e.putApplType;
    j["put_appl_name"] = e.putApplName;
    j["put_date"] = e.putDate;
    j["put_time"] = e.putTime;
    if (e.hasTemplate) {
        j["template"] = {{"execution_group", e.groupLabel},
                         {"message_flow", e.flowLabel},
                         {"node", e.nodeLabel},
                         {"node_type", nodeTypeName(e.nodeType)},
                         {"text", e.text}};
    } else {
        j["template"] = nullptr;
    }
    return j;
}

}  // namespace

nlohmann::ordered_json toJson(const BrokerView& view) {
    Json j;
    j["broker"] = {{"uuid", view.uuid}, {"label", view.label}, {"found", view.found}};
    j["key_file"] = view.keyFile;
    j["segment_size"] = view.segmentSize;
    j["snapshot"] = {{"time", formatIsoUnix(view.takenAt)},
                     {"unix", static_cast<int64_t>(view.takenAt)}};
    j["error"] = orNull(view.error);
    j["refused"] = orNull(view.refused);
    j["filter"] = orNull(view.filter);
    j["reset_time"] = time1901(view.resetTime);
    j["areas"] = Json::array();
    for (const AreaView& a : view.areas)
        j["areas"].push_back(area(a));
    j["problems"] = Json::array();
    for (const Problem& p : view.problems) {
        j["problems"].push_back({{"offset", p.offset}, {"message", p.message}});
    }
    j["unstable_records"] = view.unstableRecords;
    j["detached_records"] = view.detachedRecords;
    j["sums"] = sums(view.sums, view.rates);
    j["execution_groups"] = Json::array();
    for (const GroupView& g : view.groups)
        j["execution_groups"].push_back(group(g));
    if (view.eventsShown) {
        j["events"] = Json::array();
        for (const EventView& e : view.events)
            j["events"].push_back(event(e));
    }
    return j;
}

namespace {

// Labels come from shared memory and are valid UTF-8 once decoded; other
// texts (a key file's name, a foreign eyecatcher) may not be: such bytes are
// replaced, never allowed to abort the output.
std::string dump(const Json& j, bool pretty) {
    return j.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

void writeJson(std::ostream& out, const std::vector<BrokerView>& views, bool pretty) {
    Json document = Json::array();
    for (const BrokerView& view : views)
        document.push_back(toJson(view));
    out << dump(document, pretty) << '\n';
}

void writeNdjson(std::ostream& out, const std::vector<BrokerView>& views) {
    for (const BrokerView& view : views)
        out << dump(toJson(view), false) << '\n';
}

}  // namespace lumenaview
