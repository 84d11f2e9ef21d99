#include "tools/lumenaview_prom.h"

#include <charconv>
#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>

#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Sample {
    uint32_t labels;  // index of the rendered label set
    long double value;
    long double created = 0;  // counters: Unix time they last started from 0
};

enum class Kind { kCounter, kGauge };

struct Family {
    std::string name;  // without "_total" for counters
    Kind kind;
    std::string unit;  // "bytes", "seconds" or empty
    std::string help;
    std::vector<Sample> samples;
};

// A label value as the exposition needs it: valid UTF-8 (anything else becomes
// U+FFFD) with backslash, double quote and line feed escaped.
std::string escapeLabel(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size();) {
        const size_t length = utf8SequenceLength(value, i);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        const char c = value[i];
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '"') {
            text += "\\\"";
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text.append(value, i, length);
        }
        i += length;
    }
    return text;
}

void appendNumber(std::string& text, long double value) {
    if (std::isnan(value)) {
        text += "NaN";
        return;
    }
    char buffer[64];
    const bool whole = std::floor(value) == value && std::fabs(value) < 9007199254740992.0L;
    const auto result =
        whole ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value))
              : std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value));
    text.append(buffer, result.ptr);
}

// The families in the order they are written, each found by name. A label
// set is rendered and escaped once, however many samples share it, and the
// exposition is built in one string: a scrape of a large area writes some
// hundred thousand samples.
class Exposition {
  public:
    // The creation time given to the counter samples added from now on.
    long double created = 0;

    Family& family(const std::string& name, Kind kind, const std::string& unit,
                   const std::string& help) {
        const auto [it, added] = index.try_emplace(name, families.size());
        if (added)
            families.push_back({name, kind, unit, help, {}});
        return families[it->second];
    }

    uint32_t labels(const Labels& labels) {
        std::string text;
        for (size_t i = 0; i < labels.size(); ++i) {
            text += i ? "," : "{";
            text += labels[i].first + "=\"" + escapeLabel(labels[i].second) + '"';
        }
        labelSets.push_back(labels.empty() ? text : text + '}');
        return static_cast<uint32_t>(labelSets.size() - 1);
    }

    void write(std::ostream& out, bool openMetrics) const {
        std::string text;
        for (const Family& f : families)
            writeFamily(text, f, openMetrics);
        if (openMetrics)
            text += "# EOF\n";
        out << text;
    }

  private:
    void writeFamily(std::string& text, const Family& f, bool openMetrics) const {
        const bool counter = f.kind == Kind::kCounter;
        const std::string sampleName = counter ? f.name + "_total" : f.name;
        const std::string createdName = f.name + "_created";
        const std::string& headerName = openMetrics ? f.name : sampleName;
        text += "# HELP " + headerName + ' ' + f.help + '\n';
        text += "# TYPE " + headerName + (counter ? " counter\n" : " gauge\n");
        if (openMetrics && !f.unit.empty())
            text += "# UNIT " + headerName + ' ' + f.unit + '\n';
        for (const Sample& s : f.samples) {
            writeSample(text, sampleName, s.labels, s.value);
            if (openMetrics && counter && s.created > 0)
                writeSample(text, createdName, s.labels, s.created);
        }
    }

    void writeSample(std::string& text, const std::string& name, uint32_t labels,
                     long double value) const {
        text += name;
        text += labelSets[labels];
        text += ' ';
        appendNumber(text, value);
        text += '\n';
    }

    std::vector<Family> families;
    std::unordered_map<std::string, size_t> index;
    std::vector<std::string> labelSets;
};

Labels with(Labels labels, const std::string& name, const std::string& value) {
    labels.emplace_back(name, value);
    return labels;
}

// The statistics families of one level, for one set of figures.
void addStats(Exposition& e, const std::string& level, const Labels& labelList, const Stats& s) {
    const std::string p = "lumena_" + level + "_";
    const uint32_t labels = e.labels(labelList);
    const auto add = [&](const std::string& name, Kind kind, const char* unit, const char* help,
                         long double value) {
        e.family(p + name, kind, unit, help)
            .samples.push_back({labels, value, kind == Kind::kCounter ? e.created : 0});
    };
    add("messages", Kind::kCounter, "", "Messages measured since the last reset.", s.count);
    add("message_bytes", Kind::kCounter, "bytes", "Sum of the message sizes.", s.sumSize);
    add("elapsed_seconds", Kind::kCounter, "seconds",
        "Sum of the processor time from reading a message to the end of its flow.",
        s.sumElapsedMs / 1000);
    add("queued_seconds", Kind::kCounter, "seconds", "Sum of the times messages spent queued.",
        s.sumQueuedMs / 1000);
    if (s.empty())
        return;
    add("message_size_min_bytes", Kind::kGauge, "bytes", "Smallest message size.", s.minSize);
    add("message_size_max_bytes", Kind::kGauge, "bytes", "Largest message size.", s.maxSize);
    add("elapsed_min_seconds", Kind::kGauge, "seconds", "Shortest elapsed time.",
        s.minElapsedMs / 1000.0L);
    add("elapsed_max_seconds", Kind::kGauge, "seconds", "Longest elapsed time.",
        s.maxElapsedMs / 1000.0L);
    add("queued_min_seconds", Kind::kGauge, "seconds", "Shortest queued time.",
        s.minQueuedMs / 1000.0L);
    add("queued_max_seconds", Kind::kGauge, "seconds", "Longest queued time.",
        s.maxQueuedMs / 1000.0L);
    add("first_collection_timestamp_seconds", Kind::kGauge, "seconds",
        "Unix time of the first message since the reset.", unixSeconds(s.firstCollection));
    add("last_collection_timestamp_seconds", Kind::kGauge, "seconds",
        "Unix time of the latest message.", unixSeconds(s.lastCollection));
}

void addSlots(Exposition& e, const std::string& level, const Labels& labels,
              const SlotStats& sums) {
    for (int slot = 0; slot < kSlots; ++slot) {
        addStats(e, level, with(labels, "node_type", slotName(slot)), sums[slot]);
    }
}

void addNode(Exposition& e, const Labels& flowLabels, const NodeView& node) {
    const Labels labelList =
        with(with(with(flowLabels, "node", node.label), "node_uuid", node.uuid), "node_type",
             nodeTypeName(node.type));
    const uint32_t labels = e.labels(labelList);
    e.family("lumena_node_deleted", Kind::kGauge, "", "1 when the node is marked deleted.")
        .samples.push_back({labels, node.deleted ? 1.0L : 0.0L});
    if (!node.hasStatistics)
        return;
    e.family("lumena_node_statistics_unstable", Kind::kGauge, "",
             "1 when the node's statistics kept changing while read (figures may be torn).")
        .samples.push_back({labels, node.unstable ? 1.0L : 0.0L});
    addStats(e, "node", labelList, node.stats);
}

void addGroup(Exposition& e, const Labels& brokerLabels, const GroupView& group) {
    const Labels groupLabels = with(brokerLabels, "execution_group", group.label);
    const uint32_t labels = e.labels(groupLabels);
    e.family("lumena_execution_group_process_id", Kind::kGauge, "",
             "Process id of the execution group, 0 when unknown.")
        .samples.push_back({labels, static_cast<long double>(group.processId)});
    e.family("lumena_execution_group_process_alive", Kind::kGauge, "",
             "1 when the execution group's process exists (an ended one not yet reaped does not).")
        .samples.push_back({labels, group.process == ProcessState::kAlive ? 1.0L : 0.0L});
    for (const FlowView& flow : group.flows) {
        const Labels flowLabels = with(groupLabels, "flow", flow.label);
        for (const NodeView& node : flow.nodes)
            addNode(e, flowLabels, node);
        addSlots(e, "flow", flowLabels, flow.sums);
    }
    addSlots(e, "execution_group", groupLabels, group.sums);
}

void addBroker(Exposition& e, const BrokerView& view) {
    // A broker that cannot be read keeps its name when it is known (from an
    // earlier read); an unknown name is left out rather than given empty.
    Labels brokerLabels = {{"broker_uuid", view.uuid}};
    if (!view.label.empty())
        brokerLabels.insert(brokerLabels.begin(), {"broker", view.label});
    const uint32_t labels = e.labels(brokerLabels);
    e.created = view.resetTime != 0 ? unixSeconds(view.resetTime) : 0;
    e.family("lumena_broker_up", Kind::kGauge, "", "1 when the broker's segment could be read.")
        .samples.push_back({labels, view.error.empty() ? 1.0L : 0.0L});
    if (!view.error.empty())
        return;
    e.family("lumena_broker_problems", Kind::kGauge, "",
             "Problems found in the segment (corrupt areas, unstable records).")
        .samples.push_back({labels, static_cast<long double>(view.problems.size())});
    if (view.resetTime != 0) {
        e.family("lumena_broker_reset_timestamp_seconds", Kind::kGauge, "seconds",
                 "Unix time of the last statistics reset.")
            .samples.push_back({labels, static_cast<long double>(unixSeconds(view.resetTime))});
    }
    for (const GroupView& group : view.groups)
        addGroup(e, brokerLabels, group);
    if (view.found)
        addSlots(e, "broker", brokerLabels, view.sums);
}

}  // namespace

void writePrometheus(std::ostream& out, const std::vector<BrokerView>& brokers, bool openMetrics,
                     int staleLocks) {
    Exposition exposition;
    exposition
        .family("lumena_build_info", Kind::kGauge, "", "The version of lumenaview, as a label.")
        .samples.push_back({exposition.labels({{"version", LUMENA_VERSION}}), 1});
    exposition
        .family("lumena_brokers", Kind::kGauge, "",
                "Brokers found on this machine with a segment, readable or not.")
        .samples.push_back({exposition.labels({}), static_cast<long double>(brokers.size())});
    if (staleLocks >= 0) {
        exposition
            .family("lumena_stale_locks", Kind::kGauge, "",
                    "Named mutexes held by a process that has ended: every later taker "
                    "waits until one is released (lumenaview --locks).")
            .samples.push_back({exposition.labels({}), static_cast<long double>(staleLocks)});
    }
    for (const BrokerView& view : brokers)
        addBroker(exposition, view);
    exposition.write(out, openMetrics);
}

}  // namespace lumenaview
