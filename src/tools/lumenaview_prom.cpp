#include "tools/lumenaview_prom.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>

#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Sample {
    Labels labels;
    long double value;
};

enum class Kind { kCounter, kGauge };

struct Family {
    std::string name;  // without "_total" for counters
    Kind kind;
    std::string unit;  // "bytes", "seconds" or empty
    std::string help;
    std::vector<Sample> samples;
};

std::string escapeLabel(const std::string& value) {
    std::string text;
    for (char c : value) {
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '"') {
            text += "\\\"";
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    return text;
}

std::string number(long double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::floor(value) == value && std::fabs(value) < 9007199254740992.0L) {
        return std::to_string(static_cast<long long>(value));
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value));
    return std::string(buffer, result.ptr);
}

// The families in the order they are written, each found by name.
class Exposition {
  public:
    Family& family(const std::string& name, Kind kind, const std::string& unit,
                   const std::string& help) {
        for (Family& f : families) {
            if (f.name == name)
                return f;
        }
        families.push_back({name, kind, unit, help, {}});
        return families.back();
    }

    void write(std::ostream& out, bool openMetrics) const {
        for (const Family& f : families)
            writeFamily(out, f, openMetrics);
        if (openMetrics)
            out << "# EOF\n";
    }

  private:
    static void writeFamily(std::ostream& out, const Family& f, bool openMetrics) {
        const bool counter = f.kind == Kind::kCounter;
        const std::string sampleName = counter ? f.name + "_total" : f.name;
        const std::string headerName = openMetrics ? f.name : sampleName;
        out << "# HELP " << headerName << ' ' << f.help << '\n';
        out << "# TYPE " << headerName << (counter ? " counter\n" : " gauge\n");
        if (openMetrics && !f.unit.empty())
            out << "# UNIT " << headerName << ' ' << f.unit << '\n';
        for (const Sample& s : f.samples) {
            out << sampleName;
            if (!s.labels.empty()) {
                out << '{';
                for (size_t i = 0; i < s.labels.size(); ++i) {
                    out << (i ? "," : "") << s.labels[i].first << "=\""
                        << escapeLabel(s.labels[i].second) << '"';
                }
                out << '}';
            }
            out << ' ' << number(s.value) << '\n';
        }
    }

    std::vector<Family> families;
};

Labels with(Labels labels, const std::string& name, const std::string& value) {
    labels.emplace_back(name, value);
    return labels;
}

// The statistics families of one level, for one set of figures.
void addStats(Exposition& e, const std::string& level, const Labels& labels, const Stats& s) {
    const std::string p = "lumena_" + level + "_";
    const auto add = [&](const std::string& name, Kind kind, const char* unit, const char* help,
                         long double value) {
        e.family(p + name, kind, unit, help).samples.push_back({labels, value});
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
    const Labels labels = with(with(with(flowLabels, "node", node.label), "node_uuid", node.uuid),
                               "node_type", nodeTypeName(node.type));
    e.family("lumena_node_deleted", Kind::kGauge, "", "1 when the node is marked deleted.")
        .samples.push_back({labels, node.deleted ? 1.0L : 0.0L});
    if (!node.hasStatistics)
        return;
    e.family("lumena_node_statistics_unstable", Kind::kGauge, "",
             "1 when the node's statistics kept changing while read (figures may be torn).")
        .samples.push_back({labels, node.unstable ? 1.0L : 0.0L});
    addStats(e, "node", labels, node.stats);
}

void addGroup(Exposition& e, const Labels& brokerLabels, const GroupView& group) {
    const Labels labels = with(brokerLabels, "execution_group", group.label);
    e.family("lumena_execution_group_process_id", Kind::kGauge, "",
             "Process id of the execution group, 0 when unknown.")
        .samples.push_back({labels, static_cast<long double>(group.processId)});
    e.family("lumena_execution_group_process_alive", Kind::kGauge, "",
             "1 when the execution group's process exists.")
        .samples.push_back({labels, group.process == ProcessState::kAlive ? 1.0L : 0.0L});
    for (const FlowView& flow : group.flows) {
        const Labels flowLabels = with(labels, "flow", flow.label);
        for (const NodeView& node : flow.nodes)
            addNode(e, flowLabels, node);
        addSlots(e, "flow", flowLabels, flow.sums);
    }
    addSlots(e, "execution_group", labels, group.sums);
}

void addBroker(Exposition& e, const BrokerView& view) {
    const Labels labels = {{"broker", view.label}, {"broker_uuid", view.uuid}};
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
        addGroup(e, labels, group);
    if (view.found)
        addSlots(e, "broker", labels, view.sums);
}

}  // namespace

void writePrometheus(std::ostream& out, const std::vector<BrokerView>& brokers, bool openMetrics) {
    Exposition exposition;
    for (const BrokerView& view : brokers)
        addBroker(exposition, view);
    exposition.write(out, openMetrics);
}

}  // namespace lumenaview
