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

// Length of the well-formed UTF-8 sequence at `text[i]`, 0 when it is not one
// (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
size_t utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    const unsigned char second = byte(i + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// A label value as the exposition needs it: valid UTF-8 (anything else becomes
// U+FFFD) with backslash, double quote and line feed escaped.
std::string escapeLabel(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size();) {
        const size_t length = utf8Length(value, i);
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
    // The creation time given to the counter samples added from now on.
    long double created = 0;

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
            writeSample(out, sampleName, s.labels, s.value);
            if (openMetrics && counter && s.created > 0)
                writeSample(out, f.name + "_created", s.labels, s.created);
        }
    }

    static void writeSample(std::ostream& out, const std::string& name, const Labels& labels,
                            long double value) {
        out << name;
        if (!labels.empty()) {
            out << '{';
            for (size_t i = 0; i < labels.size(); ++i) {
                out << (i ? "," : "") << labels[i].first << "=\"" << escapeLabel(labels[i].second)
                    << '"';
            }
            out << '}';
        }
        out << ' ' << number(value) << '\n';
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
             "1 when the execution group's process exists (an ended one not yet reaped does not).")
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
    // A broker that cannot be read keeps its name when it is known (from an
    // earlier read); an unknown name is left out rather than given empty.
    Labels labels = {{"broker_uuid", view.uuid}};
    if (!view.label.empty())
        labels.insert(labels.begin(), {"broker", view.label});
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
        addGroup(e, labels, group);
    if (view.found)
        addSlots(e, "broker", labels, view.sums);
}

}  // namespace

void writePrometheus(std::ostream& out, const std::vector<BrokerView>& brokers, bool openMetrics,
                     int staleLocks) {
    Exposition exposition;
    exposition
        .family("lumena_build_info", Kind::kGauge, "", "The version of lumenaview, as a label.")
        .samples.push_back({{{"version", LUMENA_VERSION}}, 1});
    exposition
        .family("lumena_brokers", Kind::kGauge, "",
                "Brokers found on this machine with a segment, readable or not.")
        .samples.push_back({{}, static_cast<long double>(brokers.size())});
    if (staleLocks >= 0) {
        exposition
            .family("lumena_stale_locks", Kind::kGauge, "",
                    "Named mutexes held by a process that has ended: every later taker "
                    "waits until one is released (lumenaview --locks).")
            .samples.push_back({{}, static_cast<long double>(staleLocks)});
    }
    for (const BrokerView& view : brokers)
        addBroker(exposition, view);
    exposition.write(out, openMetrics);
}

}  // namespace lumenaview
