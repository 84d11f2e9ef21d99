#include "tools/lumenaview_prom.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/lumenaview_memory.h"
#include "tools/lumenaview_units.h"

namespace lumenaview {

namespace {

enum class Kind { kCounter, kGauge };

// Where a rendered label set ("{a=\"x\",b=\"y\"}", or nothing) lies in the
// exposition's label text.
struct LabelSet {
    uint32_t at = 0;
    uint32_t length = 0;
};

struct Sample {
    LabelSet labels;
    double value;  // what the exposition writes: whole below 2^53, else a double
};

struct Family {
    std::string name;  // without "_total" for counters
    Kind kind;
    const char* unit;  // "bytes", "seconds" or ""
    const char* help;
    std::vector<Sample> samples;
};

// Every family, in the order written; one with no sample is left out.
enum FamilyId : size_t {
    kBuildInfo,
    kBrokers,
    kStaleLocks,
    kLocksRefused,
    kBrokersRefused,
    kBrokerRefused,
    kBrokerUp,
    kBrokerProblems,
    kBrokerReset,
    kGroupProcessId,
    kGroupProcessAlive,
    kNodeDeleted,
    kNodeUnstable,
    kFirstStats,  // then kStatsFamilies for each level in turn
};

enum Level { kNodeLevel, kFlowLevel, kGroupLevel, kBrokerLevel, kLevels };
constexpr const char* kLevelNames[kLevels] = {"node", "flow", "execution_group", "broker"};

struct FamilyText {
    const char* name;
    Kind kind;
    const char* unit;
    const char* help;
};

constexpr FamilyText kFixedFamilies[kFirstStats] = {
    {"lumena_build_info", Kind::kGauge, "", "The version and revision of lumenaview, as labels."},
    {"lumena_brokers", Kind::kGauge, "",
     "Brokers found on this machine with a segment, readable or not; refused key files are "
     "not brokers (lumena_brokers_refused)."},
    {"lumena_stale_locks", Kind::kGauge, "",
     "Named mutexes held by a process that has ended: every later taker waits until one is "
     "released (lumenaview --locks)."},
    {"lumena_locks_refused", Kind::kGauge, "",
     "Named mutex key files or semaphore sets refused as not the brokers' own (lumenaview "
     "--locks)."},
    {"lumena_brokers_refused", Kind::kGauge, "",
     "Segment key files refused as not the brokers' own: another user's, a link, or a "
     "segment too large, open to all or already read under another key file."},
    {"lumena_broker_refused", Kind::kGauge, "",
     "1 for a refused segment key file, with the reason (lumenaview shows why)."},
    {"lumena_broker_up", Kind::kGauge, "", "1 when the broker's segment could be read."},
    {"lumena_broker_problems", Kind::kGauge, "",
     "Problems found in the segment (corrupt areas, unstable records)."},
    {"lumena_broker_reset_timestamp_seconds", Kind::kGauge, "seconds",
     "Unix time of the last statistics reset."},
    {"lumena_execution_group_process_id", Kind::kGauge, "",
     "Process id of the execution group, 0 when unknown."},
    {"lumena_execution_group_process_alive", Kind::kGauge, "",
     "1 when the execution group's process exists (an ended one not yet reaped does not)."},
    {"lumena_node_deleted", Kind::kGauge, "", "1 when the node is marked deleted."},
    {"lumena_node_statistics_unstable", Kind::kGauge, "",
     "1 when the node's statistics kept changing while read (figures may be torn)."},
};

// The statistics families of a level, "lumena_" + level + "_" + name; the
// counters first, the gauges only for figures with messages.
enum StatsId : size_t {
    kMessages,
    kMessageBytes,
    kElapsed,
    kQueued,
    kSizeMin,
    kSizeMax,
    kElapsedMin,
    kElapsedMax,
    kQueuedMin,
    kQueuedMax,
    kFirstCollection,
    kLastCollection,
};
constexpr size_t kStatsFamilyCount = kLastCollection + 1;

constexpr FamilyText kStatsFamilies[kStatsFamilyCount] = {
    {"messages", Kind::kCounter, "", "Messages measured since the last reset."},
    {"message_bytes", Kind::kCounter, "bytes", "Sum of the message sizes."},
    {"elapsed_seconds", Kind::kCounter, "seconds",
     "Sum of the processor time from reading a message to the end of its flow."},
    {"queued_seconds", Kind::kCounter, "seconds", "Sum of the times messages spent queued."},
    {"message_size_min_bytes", Kind::kGauge, "bytes", "Smallest message size."},
    {"message_size_max_bytes", Kind::kGauge, "bytes", "Largest message size."},
    {"elapsed_min_seconds", Kind::kGauge, "seconds", "Shortest elapsed time."},
    {"elapsed_max_seconds", Kind::kGauge, "seconds", "Longest elapsed time."},
    {"queued_min_seconds", Kind::kGauge, "seconds", "Shortest queued time."},
    {"queued_max_seconds", Kind::kGauge, "seconds", "Longest queued time."},
    {"first_collection_timestamp_seconds", Kind::kGauge, "seconds",
     "Unix time of the first message since the reset."},
    {"last_collection_timestamp_seconds", Kind::kGauge, "seconds",
     "Unix time of the latest message."},
};

// Appends a label value as the exposition needs it: valid UTF-8 (anything
// else becomes U+FFFD) with backslash, double quote and line feed escaped.
void appendEscaped(std::string& text, const std::string& value) {
    for (size_t i = 0; i < value.size();) {
        // A run of plain ASCII, the whole of most labels, is copied at once.
        size_t plain = i;
        while (plain < value.size() && static_cast<unsigned char>(value[plain]) < 0x80 &&
               value[plain] != '\\' && value[plain] != '"' && value[plain] != '\n') {
            ++plain;
        }
        if (plain != i) {
            text.append(value, i, plain - i);
            i = plain;
            continue;
        }
        const char c = value[i];
        if (c == '\\' || c == '"' || c == '\n') {
            text += '\\';
            text += c == '\n' ? 'n' : c;
            ++i;
            continue;
        }
        const size_t length =
            static_cast<unsigned char>(c) < 0x80 ? 1 : utf8SequenceLength(value, i);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        text.append(value, i, length);
        i += length;
    }
}

// Appends `,name="value"` (or `{name="value"` first) to a label set being
// rendered.
void appendLabel(std::string& set, const char* name, const std::string& value) {
    set += set.empty() ? '{' : ',';
    set += name;
    set += "=\"";
    appendEscaped(set, value);
    set += '"';
}

// The size from which the allocator maps every block on its own, however it
// has moved its threshold (the most it moves it to on 64-bit systems).
constexpr size_t kOwnMappingBytes = size_t{32} << 20;

// Writes `value` at `at` (at most kNumberBytes) and gives the end.
constexpr size_t kNumberBytes = 32;
char* putNumber(char* at, double value) {
    const bool whole = std::floor(value) == value && std::fabs(value) < 9007199254740992.0;
    return whole ? std::to_chars(at, at + kNumberBytes, static_cast<long long>(value)).ptr
                 : std::to_chars(at, at + kNumberBytes, value).ptr;
}

// The samples of every family, and the label sets they refer to, rendered
// and escaped once each into one text however many samples share them. A
// scrape of a large area writes some hundred thousand samples: the
// exposition is then written into one string reserved at its full size.
class Exposition {
  public:
    Exposition() {
        families.reserve(kFirstStats + kLevels * kStatsFamilyCount);
        for (const FamilyText& f : kFixedFamilies)
            families.push_back({f.name, f.kind, f.unit, f.help, {}});
        for (const char* level : kLevelNames) {
            for (const FamilyText& f : kStatsFamilies) {
                families.push_back(
                    {std::string("lumena_") + level + '_' + f.name, f.kind, f.unit, f.help, {}});
            }
        }
    }

    // Keeps a label set rendered by appendLabel (without its closing brace).
    // Every set kept names one series: one equal to a set kept before (two
    // groups or nodes of one label, say) gets duplicate="2", "3", ...
    LabelSet labels(const std::string& rendered) {
        if (rendered.empty())
            return {static_cast<uint32_t>(labelText.size()), 0};
        LabelSet set = keep(rendered, "");
        for (unsigned copy = 2; !keptOnce(set); ++copy) {
            labelText.resize(set.at);
            set = keep(rendered, ",duplicate=\"" + std::to_string(copy) + '"');
        }
        return set;
    }

    // A value that the exposition cannot hold as a finite number (a figure a
    // writer of the segment made infinite or NaN) is left out.
    void add(size_t family, LabelSet labels, long double value) {
        if (!std::isfinite(static_cast<double>(value)))
            return;
        families[family].samples.push_back({labels, static_cast<double>(value)});
    }

    // The statistics families of one level, for one set of figures.
    void addStats(Level level, LabelSet labels, const Stats& s) {
        const size_t first = kFirstStats + level * kStatsFamilyCount;
        const auto put = [&](StatsId id, long double value) { add(first + id, labels, value); };
        put(kMessages, s.count);
        put(kMessageBytes, s.sumSize);
        put(kElapsed, s.sumElapsedMs / 1000);
        if (!s.queuedAbsent())  // not collected: no series rather than a false 0
            put(kQueued, s.sumQueuedMs / 1000);
        if (s.empty())
            return;
        put(kSizeMin, s.minSize);
        put(kSizeMax, s.maxSize);
        put(kElapsedMin, s.minElapsedMs / 1000.0L);
        put(kElapsedMax, s.maxElapsedMs / 1000.0L);
        if (s.queuedCollected()) {
            put(kQueuedMin, s.minQueuedMs / 1000.0L);
            put(kQueuedMax, s.maxQueuedMs / 1000.0L);
        }
        put(kFirstCollection, unixSeconds(s.firstCollection));
        put(kLastCollection, unixSeconds(s.lastCollection));
    }

    std::string text(bool openMetrics) const {
        std::string text;
        text.reserve(sizeBound());
        // A block this large is a mapping of its own (the allocator keeps
        // only smaller ones in its heap), so the advice covers nothing else.
        if (text.capacity() >= kOwnMappingBytes)
            preferHugePages(text.data(), text.capacity());
        for (const Family& f : families) {
            if (!f.samples.empty())
                writeFamily(text, f, openMetrics);
        }
        if (openMetrics)
            text += "# EOF\n";
        return text;
    }

  private:
    LabelSet keep(const std::string& rendered, std::string_view more) {
        const LabelSet set{static_cast<uint32_t>(labelText.size()),
                           static_cast<uint32_t>(rendered.size() + more.size() + 1)};
        labelText += rendered;
        if (!more.empty())
            labelText += more;
        labelText += '}';
        return set;
    }

    std::string_view textOf(LabelSet set) const {
        return std::string_view(labelText).substr(set.at, set.length);
    }

    // Records `set` unless an equal text was kept before: an open-addressing
    // table of the kept sets with their hashes (one per node, flow slot and
    // group: a scrape of a large area keeps some hundred thousand, each
    // hashed once and without an allocation).
    bool keptOnce(LabelSet set) {
        const std::string_view text = textOf(set);
        return place({set, std::hash<std::string_view>()(text)}, &text);
    }

    struct Kept {
        LabelSet set;  // a length of 0 marks a free slot
        size_t hash;
    };

    // Places `kept` unless `text` (null: known to be new) is there already.
    bool place(const Kept& kept, const std::string_view* text) {
        if (2 * (keptCount + 1) > slots.size())
            grow();
        const size_t mask = slots.size() - 1;
        for (size_t i = kept.hash & mask;; i = (i + 1) & mask) {
            if (slots[i].set.length == 0) {
                slots[i] = kept;
                ++keptCount;
                return true;
            }
            if (text != nullptr && slots[i].hash == kept.hash && textOf(slots[i].set) == *text)
                return false;
        }
    }

    void grow() {
        std::vector<Kept> old(std::max<size_t>(1024, 2 * slots.size()));
        old.swap(slots);
        keptCount = 0;
        for (const Kept& kept : old) {
            if (kept.set.length != 0)
                place(kept, nullptr);
        }
    }

    // Bytes that the text cannot exceed: a family's three header lines hold
    // its name (with "_total") three times, its help and unit and 35 bytes
    // more; a sample its name, "_total", labels, a space, a number (at most
    // kNumberBytes) and a line feed; "# EOF\n" ends it. Reserved at once,
    // the text is never moved while written.
    size_t sizeBound() const {
        size_t size = 8;
        for (const Family& f : families) {
            size += 3 * (f.name.size() + 20) + std::strlen(f.help) + std::strlen(f.unit);
            for (const Sample& s : f.samples)
                size += f.name.size() + 8 + s.labels.length + kNumberBytes;
        }
        return size;
    }

    void writeFamily(std::string& text, const Family& f, bool openMetrics) const {
        const bool counter = f.kind == Kind::kCounter;
        const std::string sampleName = counter ? f.name + "_total" : f.name;
        const std::string& headerName = openMetrics ? f.name : sampleName;
        text += "# HELP ";
        text += headerName;
        text += ' ';
        text += f.help;
        text += "\n# TYPE ";
        text += headerName;
        text += counter ? " counter\n" : " gauge\n";
        if (openMetrics && *f.unit != '\0') {
            text += "# UNIT ";
            text += headerName;
            text += ' ';
            text += f.unit;
            text += '\n';
        }
        // No _created samples: Prometheus would store each as a series of its
        // own; lumena_broker_reset_timestamp_seconds carries the same time.
        for (const Sample& s : f.samples) {
            text += sampleName;
            text += textOf(s.labels);
            // Space, value and line feed made apart and appended at once.
            char tail[kNumberBytes + 2];
            tail[0] = ' ';
            char* end = putNumber(tail + 1, s.value);
            *end++ = '\n';
            text.append(tail, static_cast<size_t>(end - tail));
        }
    }

    std::vector<Family> families;
    std::string labelText;
    std::vector<Kept> slots;
    size_t keptCount = 0;
};

// The label sets of one broker's tree are rendered into one buffer, each
// level appending its labels to those of the level above and cutting back
// after, so that every name is escaped once.
class TreeLabels {
  public:
    explicit TreeLabels(Exposition& e) : e(e) {}

    // Marks the end of the labels common to what follows.
    size_t mark() const { return rendered.size(); }
    void cutTo(size_t mark) { rendered.resize(mark); }
    void add(const char* name, const std::string& value) { appendLabel(rendered, name, value); }
    LabelSet keep() { return e.labels(rendered); }

  private:
    Exposition& e;
    std::string rendered;
};

void addSlots(Exposition& e, Level level, TreeLabels& labels, const SlotStats& sums) {
    const size_t mark = labels.mark();
    for (int slot = 0; slot < kSlots; ++slot) {
        labels.add("node_type", slotName(slot));
        e.addStats(level, labels.keep(), sums[slot]);
        labels.cutTo(mark);
    }
}

void addNode(Exposition& e, TreeLabels& labels, const NodeView& node) {
    const size_t mark = labels.mark();
    labels.add("node", node.label);
    labels.add("node_uuid", node.uuid);
    labels.add("node_type", nodeTypeName(node.type));
    const LabelSet set = labels.keep();
    labels.cutTo(mark);
    e.add(kNodeDeleted, set, node.deleted ? 1 : 0);
    if (!node.hasStatistics)
        return;
    e.add(kNodeUnstable, set, node.unstable ? 1 : 0);
    e.addStats(kNodeLevel, set, node.stats);
}

void addGroup(Exposition& e, TreeLabels& labels, const GroupView& group) {
    const size_t mark = labels.mark();
    labels.add("execution_group", group.label);
    const LabelSet set = labels.keep();
    e.add(kGroupProcessId, set, group.processId);
    e.add(kGroupProcessAlive, set, group.process == ProcessState::kAlive ? 1 : 0);
    const size_t groupMark = labels.mark();
    for (const FlowView& flow : group.flows) {
        labels.add("flow", flow.label);
        const size_t flowMark = labels.mark();
        for (const NodeView& node : flow.nodes)
            addNode(e, labels, node);
        labels.cutTo(flowMark);
        addSlots(e, kFlowLevel, labels, flow.sums);
        labels.cutTo(groupMark);
    }
    addSlots(e, kGroupLevel, labels, group.sums);
    labels.cutTo(mark);
}

void addRefused(Exposition& e, const BrokerView& view) {
    std::string set;
    appendLabel(set, "keyfile", view.keyFile);
    appendLabel(set, "reason", view.refused);
    e.add(kBrokerRefused, e.labels(set), 1);
}

void addBroker(Exposition& e, const BrokerView& view) {
    if (!view.refused.empty()) {
        addRefused(e, view);
        return;
    }
    // A broker that cannot be read keeps its name when it is known (from an
    // earlier read); an unknown name is left out rather than given empty.
    TreeLabels labels(e);
    if (!view.label.empty())
        labels.add("broker", view.label);
    labels.add("broker_uuid", view.uuid);
    const LabelSet set = labels.keep();
    e.add(kBrokerUp, set, view.error.empty() ? 1 : 0);
    if (!view.error.empty())
        return;
    e.add(kBrokerProblems, set, static_cast<long double>(view.problems.size()));
    if (view.resetTime != 0)
        e.add(kBrokerReset, set, static_cast<long double>(unixSeconds(view.resetTime)));
    for (const GroupView& group : view.groups)
        addGroup(e, labels, group);
    if (view.found)
        addSlots(e, kBrokerLevel, labels, view.sums);
}

}  // namespace

std::string prometheusText(const std::vector<BrokerView>& brokers, bool openMetrics,
                           const MachineFigures& figures) {
    Exposition exposition;
    std::string version;
    appendLabel(version, "version", LUMENA_VERSION);
    appendLabel(version, "revision", LUMENA_REVISION);
    exposition.add(kBuildInfo, exposition.labels(version), 1);
    const auto refused = std::count_if(brokers.begin(), brokers.end(), [](const BrokerView& view) {
        return !view.refused.empty();
    });
    exposition.add(kBrokers, {}, static_cast<long double>(brokers.size() - refused));
    const auto put = [&](FamilyId family, int value) {
        if (value >= 0)
            exposition.add(family, {}, value);
    };
    put(kStaleLocks, figures.staleLocks);
    put(kLocksRefused, figures.refusedLocks);
    put(kBrokersRefused, figures.refusedKeyFiles);
    for (const BrokerView& view : brokers)
        addBroker(exposition, view);
    return exposition.text(openMetrics);
}

std::string prometheusText(const std::vector<BrokerView>& brokers, bool openMetrics,
                           int staleLocks) {
    MachineFigures figures;
    figures.staleLocks = staleLocks;
    return prometheusText(brokers, openMetrics, figures);
}

void writePrometheus(std::ostream& out, const std::vector<BrokerView>& brokers, bool openMetrics,
                     int staleLocks) {
    out << prometheusText(brokers, openMetrics, staleLocks);
}

std::string terminalSafe(const std::string& exposition) {
    std::string shown;
    shown.reserve(exposition.size());
    char escape[8];
    for (size_t i = 0; i < exposition.size(); ++i) {
        const auto c = static_cast<unsigned char>(exposition[i]);
        const bool c1 = c == 0xC2 && i + 1 < exposition.size() &&
                        static_cast<unsigned char>(exposition[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(exposition[i + 1]) <= 0x9F;
        if (c1) {
            std::snprintf(escape, sizeof escape, "\\u%04X",
                          static_cast<unsigned char>(exposition[++i]));
            shown += escape;
        } else if ((c < 0x20 && c != '\n') || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

}  // namespace lumenaview
