// The viewer: decoding segment images carved as the library carves them, its
// outputs (any script, control characters), filters and live table, and, on
// real segments in the sandbox, that it only looks and names what it cannot read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/lumenaview_app.h"
#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_filter.h"
#include "tools/lumenaview_json.h"
#include "tools/lumenaview_prom.h"
#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_table.h"
#include "tools/lumenaview_text.h"
#include "tools/lumenaview_units.h"
#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevtr.h"
#include "zov/zovcmema.h"
#include "zov/zovcnoir.h"
#include "zov/zovcstir.h"

namespace lv = lumenaview;

namespace {

constexpr char kUuid[] = "5e1f0c3a-0000-4000-8000-00000000b001";

// A 16-bit string as a broker hands it over.
ZOV_String wide(const std::u16string& text) {
    return ZOV_String(reinterpret_cast<const unsigned short*>(text.c_str()));
}

// A segment laid out as the library carves it: the segment header, then
// areas of equal size, each formatted and filled by appending record images.
class SegmentBuilder {
  public:
    static constexpr uint32_t kAreaSize = 4096;
    SegmentBuilder() : image(3 * kAreaSize + ZOV_Memory_Manager::kHeaderSize) {
        segment.setSize(static_cast<unsigned>(image.size()));
        segment.setEyecatcher(lv::kSegmentEyecatcher);
        segment.setAddress(image.data());
        segment.setNextPosition(segment.getFirstPosition());
    }

    // Carves the next area; returns its index.
    size_t carve(const char* eyecatcher) {
        auto* position = static_cast<unsigned char*>(segment.getNextPosition());
        areaOffsets.push_back(static_cast<size_t>(position - image.data()));
        auto& area = *areas.emplace_back(std::make_unique<ZOV_Memory_Manager>());
        area.setSize(kAreaSize);
        area.setEyecatcher(eyecatcher);
        area.setAddress(position);
        area.setNextPosition(area.getFirstPosition());
        segment.setNextPosition(position + kAreaSize);
        return areas.size() - 1;
    }

    // Appends the record to an area; returns the record's offset in the segment.
    size_t put(size_t area, ZOV_Record& record) {
        auto* position = static_cast<unsigned char*>(areas[area]->getNextPosition());
        areas[area]->setNextPosition(record.put(position));
        return static_cast<size_t>(position - image.data());
    }

    lv::SegmentImage snapshot() const { return {image, {}, 0, 0}; }
    std::vector<unsigned char> image;
    std::vector<size_t> areaOffsets;

  private:
    ZOV_Memory_Manager segment;
    std::vector<std::unique_ptr<ZOV_Memory_Manager>> areas;
};

// A process id that belonged to a process that has ended.
int endedProcessId() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Broker "BRK1" with two execution groups:
//   EG1 (this process): FlowA with In (type 1, 3 messages), Out (type 2, 2),
//                       Compute (type 3, 1) and Odd (type 7, 1: no slot);
//                       FlowB with Gone (type 2, deleted, 4 messages)
//   EG2 (an ended process): FlowC with Idle (type 1, no message)
// Event templates for In and Out; three events, one of them without template.
// `inLabel` replaces the label "In" in its node record and its template.
struct StandardSegment {
    explicit StandardSegment(const ZOV_String& inLabel = ZOV_String("In")) {
        const ZOV_String brokerLabel("BRK1"), brokerUuid(kUuid);
        const ZOV_Resource_ID brokerId(&brokerUuid, &brokerLabel);
        ZOV_BRIR broker(&brokerId);
        broker.setResetTime(resetTime);
        builder.put(stats, broker);
        auto& eg1 = resource<ZOV_EGIR>(broker, "EG1", getpid());
        auto& flowA = resource<ZOV_MFIR>(eg1, "FlowA");
        node(flowA, inLabel, "In", 1, {{0.5, 0.002, 100}, {1.5, 0.004, 300}, {1.0, 0.003, 200}});
        node(flowA, "Out", "Out", 2, {{0.0, 0.010, 1000}, {0.0, 0.020, 3000}});
        node(flowA, "Compute", "Compute", 3, {{0.0, 0.0015, 50}});
        node(flowA, "Odd", "Odd", 7, {{0.0, 0.001, 7}});
        goneOffset = node(resource<ZOV_MFIR>(eg1, "FlowB"), "Gone", "Gone", 2,
                          {{2, 1, 10}, {2, 1, 10}, {2, 1, 10}, {2, 1, 10}}, true);
        auto& eg2 = resource<ZOV_EGIR>(broker, "EG2", endedProcessId());
        node(resource<ZOV_MFIR>(eg2, "FlowC"), "Idle", "Idle", 1, {});

        event(*storeTemplate(inLabel, 1, ZOV_String("Message received ") + inLabel), "payroll", 11);
        event(*storeTemplate("Out", 2, "Message sent"), "billing", 12);
        ZOV_EVTR orphan(&inLabel, &inLabel, &inLabel, ZOV_NT_OTHER, &inLabel);  // never stored
        event(orphan, "lost", 13);
    }

    template <class Record>
    Record& resource(const ZOV_Record& parent, const ZOV_String& label, int pid = 0) {
        const ZOV_String uuid = label + "-uuid";
        const ZOV_Resource_ID id(&uuid, &label);
        keep.push_back(std::make_unique<Record>(&id));
        auto& record = static_cast<Record&>(*keep.back());
        record.setParent(parent.getRecordId());
        if constexpr (std::is_same_v<Record, ZOV_EGIR>)
            record.setProcessId(pid);
        if constexpr (!std::is_same_v<Record, ZOV_NOIR>)
            builder.put(stats, record);  // a node record is put with its type
        return record;
    }

    struct Message {
        double queued, elapsed;
        int size;
    };
    // Puts the node record and its statistics record; returns the node
    // record's offset.
    size_t node(ZOV_MFIR& flow, const ZOV_String& label, const std::string& key, int type,
                const std::vector<Message>& messages, bool deleted = false) {
        auto& record = resource<ZOV_NOIR>(flow, label);
        record.setNodeType(static_cast<ZOV_NodeType>(type));
        if (deleted)
            record.markDeleted();
        const size_t offset = builder.put(stats, record);
        ZOV_STIR statistics(1);
        statistics.setParent(record.getRecordId());
        for (const Message& m : messages)
            statistics.updateStatistics(m.queued, m.elapsed, m.size);
        statisticsOffsets[key] = builder.put(stats, statistics);
        return offset;
    }

    ZOV_EVTR* storeTemplate(const ZOV_String& node, int type, const ZOV_String& text) {
        const ZOV_String group("EG1"), flow("FlowA");
        keep.push_back(std::make_unique<ZOV_EVTR>(&group, &flow, &node,
                                                  static_cast<ZOV_NodeType>(type), &text));
        auto* templ = static_cast<ZOV_EVTR*>(keep.back().get());
        builder.put(templates, *templ);
        return templ;
    }

    void event(const ZOV_EVTR& templ, const char* application, int thread) {
        BrkMqmd md{};
        std::memcpy(md.putApplName, application, std::strlen(application));
        md.msgId[0] = 0xAB;
        ZOV_EVDR record(&md, thread);
        record.setParent(templ.getRecordId());
        builder.put(data, record);
    }

    lv::BrokerView decode(bool events = true) {
        lv::SegmentImage image = builder.snapshot();
        return lv::decodeBroker(kUuid, image, {events, nullptr});
    }

    SegmentBuilder builder;
    const size_t stats = builder.carve(lv::kStatsEyecatcher);
    const size_t templates = builder.carve(lv::kTemplatesEyecatcher);
    const size_t data = builder.carve(lv::kEventDataEyecatcher);
    const uint32_t resetTime = ZOV_SecondsSince1901() - 60;
    std::vector<std::unique_ptr<ZOV_Record>> keep;
    std::map<std::string, size_t> statisticsOffsets;
    size_t goneOffset = 0;
};

template <typename T>
const T& named(const std::vector<T>& items, const std::string& label) {
    const auto it = std::find_if(items.begin(), items.end(),
                                 [&](const T& item) { return item.label == label; });
    if (it == items.end())
        throw std::runtime_error("nothing named " + label);
    return *it;
}

// Every output format of the in-process writers, for one snapshot.
std::map<std::string, std::string> everyFormat(const lv::BrokerView& view) {
    std::map<std::string, std::ostringstream> out;
    lv::writeText(out["text"], view, {});
    lv::writeTable(out["table"], {view}, {});
    lv::writeJson(out["json"], {view}, false);
    lv::writeNdjson(out["ndjson"], {view});
    lv::writePrometheus(out["prometheus"], {view}, false);
    lv::writePrometheus(out["openmetrics"], {view}, true);
    std::map<std::string, std::string> texts;
    for (auto& [format, stream] : out)
        texts[format] = stream.str();
    return texts;
}

// The lines of a text that hold more than blanks.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(' ') != std::string::npos)
            lines.push_back(line);
    return lines;
}

// Valid UTF-8: the JSON dump refuses anything else.
bool isUtf8(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::ignore) ==
           nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Nothing a terminal would act on: no C0 control but the line feed, no DEL,
// no C1 control (U+0080..U+009F), and valid UTF-8.
bool terminalSafe(const std::string& text) {
    static const std::regex control("[\x01-\x09\x0B-\x1F\x7F]|\xC2[\x80-\x9F]");
    return isUtf8(text) && text.find('\0') == std::string::npos &&
           !std::regex_search(text, control);
}

}  // namespace

// ---- decoding ---------------------------------------------------------------

TEST(ViewerDecode, CorruptRecordAndUnstableRecordAreReportedAtTheirOffsets) {
    StandardSegment segment;
    lv::SegmentImage image = segment.builder.snapshot();
    image.bytes[segment.goneOffset] = 'X';  // the "RCRD" eyecatcher of FlowB's node
    image.unstableOffsets.push_back(segment.statisticsOffsets["Out"]);
    const lv::BrokerView view = lv::decodeBroker(kUuid, image, {true, nullptr});
    ASSERT_EQ(view.problems.size(), 2u);
    EXPECT_EQ(view.problems[0].offset, segment.statisticsOffsets["Out"]);
    EXPECT_NE(view.problems[0].message.find("unstable"), std::string::npos);
    EXPECT_EQ(view.problems[1].offset, segment.goneOffset);
    EXPECT_NE(view.problems[1].message.find("corrupt area zovcstar"), std::string::npos);
    const lv::FlowView& flowA = named(view.groups[0].flows, "FlowA");
    EXPECT_EQ(flowA.nodes.size(), 4u);  // what lies before is shown whole
    EXPECT_TRUE(named(flowA.nodes, "Out").unstable);
    EXPECT_FALSE(named(flowA.nodes, "In").unstable);
    EXPECT_EQ(view.events.size(), 3u);
    lv::SegmentImage whole = segment.builder.snapshot();
    EXPECT_EQ(lv::locateStatistics(whole).size(), segment.statisticsOffsets.size());
}

// A watch shows each event once: all, nothing new, then only the one added.
TEST(ViewerDecode, EventsNewSinceThePreviousLookAreShownOnce) {
    StandardSegment segment;
    std::unordered_set<std::string> seen;
    const lv::DecodeOptions options{true, &seen};
    lv::SegmentImage image = segment.builder.snapshot();
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 3u);
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 0u);
    segment.event(*segment.storeTemplate("Compute", 3, "Late"), "late", 14);
    image = segment.builder.snapshot();
    const lv::BrokerView later = lv::decodeBroker(kUuid, image, options);
    ASSERT_EQ(later.events.size(), 1u);
    EXPECT_EQ(later.events[0].text, "Late");
}

TEST(ViewerDecode, RandomDamageIsReportedNeverReadBeyondTheImage) {
    StandardSegment segment;
    uint64_t state = 0x9E3779B97F4A7C15u;
    const auto next = [&state] {
        return state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    };
    int damaged = 0;
    for (int round = 0; round < 400; ++round) {
        lv::SegmentImage image = segment.builder.snapshot();
        // Damage where it hurts most: headers and the first records of each area.
        for (int flips = 1 + next() % 6; flips > 0; --flips) {
            const size_t offset = segment.builder.areaOffsets[next() % 3] * (next() % 4 != 0) +
                                  next() % (next() % 2 ? 64 : 1200);
            image.bytes[offset] = static_cast<unsigned char>(next());
        }
        if (round % 10 == 0)
            image.bytes.resize(next() % image.bytes.size());  // a short copy
        const lv::BrokerView view = lv::decodeBroker(kUuid, image, {true, nullptr});
        for (const lv::Problem& problem : view.problems)
            EXPECT_LT(problem.offset, image.bytes.size());
        for (const lv::EventView& event : view.events)
            EXPECT_LE(event.offset + ZOV_EVDR::kSize, image.bytes.size());
        damaged += !view.error.empty() || !view.problems.empty();
    }
    EXPECT_GT(damaged, 100);
}

// ---- outputs ----------------------------------------------------------------

// Labels and an event text in UTF-16 as a broker hands them over, through
// every format: decoded to UTF-8 (a lone surrogate to U+FFFD), control
// characters never reaching a terminal, JSON round-tripping the exact text.
TEST(ViewerOutput, NamesInAnyScriptAndControlCharactersInEveryFormat) {
    const struct {
        std::u16string name;
        std::string utf8;
        std::string onTerminal;  // as text and table show it
    } cases[] = {
        {u"Grüppe", "Grüppe", "Grüppe"},
        {u"日本語フロー", "日本語フロー", "日本語フロー"},
        {u"Кириллица", "Кириллица", "Кириллица"},
        {u"ü日\U0001F600", "ü日\U0001F600", "ü日\U0001F600"},
        {u"a\xD83D\x0062\xDE00", "a\uFFFDb\uFFFD", "a\uFFFDb\uFFFD"},  // lone surrogates
        {u"t\x1B]0;x\x07!", "t\x1B]0;x\x07!", "t\\x1B]0;x\\x07!"},
        {u"\x9B\x0032J\x7F", "\u009B2J\x7F", "\\u009B2J\\x7F"},
        {u"say \"hi\" C:\\", "say \"hi\" C:\\", "say \\\"hi\\\" C:\\\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        const lv::BrokerView view = StandardSegment(wide(c.name)).decode();
        ASSERT_EQ(view.events.size(), 3u);
        EXPECT_EQ(view.events[0].nodeLabel, c.utf8);
        EXPECT_NO_THROW(named(view.groups[0].flows[0].nodes, c.utf8));
        const std::map<std::string, std::string> out = everyFormat(view);
        for (const char* format : {"text", "table"}) {
            EXPECT_TRUE(terminalSafe(out.at(format))) << out.at(format);
            EXPECT_NE(out.at(format).find(c.onTerminal), std::string::npos) << out.at(format);
        }
        EXPECT_NE(out.at("text").find("received " + c.onTerminal + "\n"), std::string::npos);
        for (const char* format : {"json", "ndjson"}) {
            const nlohmann::json doc = nlohmann::json::parse(out.at(format));
            const nlohmann::json& b = doc.is_array() ? doc[0] : doc;
            EXPECT_NE(b.dump().find(nlohmann::json(c.utf8).dump()), std::string::npos);
            EXPECT_EQ(b["events"][0]["template"]["text"], "Message received " + c.utf8) << format;
        }
        EXPECT_TRUE(isUtf8(out.at("prometheus")) && isUtf8(out.at("openmetrics")));
    }
}

TEST(ViewerOutput, JsonIsOneArrayPerRunWithIsoTimesAndNullsNdjsonOneLinePerBroker) {
    StandardSegment segment;
    const lv::BrokerView view = segment.decode();
    const std::map<std::string, std::string> out = everyFormat(view);
    EXPECT_EQ(std::count(out.at("json").begin(), out.at("json").end(), '\n'), 1);
    const nlohmann::json doc = nlohmann::json::parse(out.at("json"));
    ASSERT_TRUE(doc.is_array());
    EXPECT_EQ(nlohmann::json::parse(out.at("ndjson")), doc[0]);
    std::ostringstream two;
    lv::writeJson(two, {view, view}, true);
    EXPECT_EQ(nlohmann::json::parse(two.str()).size(), 2u);

    const nlohmann::json& b = doc[0];
    EXPECT_TRUE(b["error"].is_null() && b["filter"].is_null());
    const nlohmann::json& in = b["execution_groups"][0]["message_flows"][0]["nodes"][1];
    EXPECT_EQ(in["label"], "In");  // Compute, In, Odd, Out
    EXPECT_EQ(in["statistics"]["size_bytes"]["sum"], 600);
    EXPECT_TRUE(in["statistics"]["rate_per_second"].is_null());
    const nlohmann::json& idle = b["execution_groups"][1]["message_flows"][0]["nodes"][0];
    EXPECT_TRUE(idle["statistics"]["size_bytes"]["min"].is_null());
    EXPECT_TRUE(idle["statistics"]["first_collection"].is_null());
    EXPECT_TRUE(b["events"][2]["template"].is_null());
    // Every time: ISO 8601 with an offset, to the second or the millisecond.
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?[+-]\d\d:\d\d)");
    for (const nlohmann::json& time :
         {b["snapshot"]["time"], b["reset_time"], b["areas"][0]["last_update"],
          in["statistics"]["first_collection"], b["events"][0]["created"],
          b["events"][0]["event_time"]}) {
        EXPECT_TRUE(time.is_string() && std::regex_match(time.get<std::string>(), iso)) << time;
    }
}

TEST(ViewerOutput, FiltersKeepWhatMatchesAndSumOnlyThat) {
    StandardSegment segment;
    const lv::BrokerView whole = segment.decode();
    const struct {
        lv::Filter filter;
        std::set<std::string> nodes;
        std::array<int, 3> sums;  // input, output, other messages
        size_t events;
    } cases[] = {
        {{}, {"In", "Out", "Compute", "Odd", "Gone", "Idle"}, {3, 6, 1}, 3},
        {{{}, {}, {}, {"*"}}, {"In", "Out", "Compute", "Odd", "Gone", "Idle"}, {3, 6, 1}, 2},
        {{{}, {}, {}, {"In"}}, {"In"}, {3, 0, 0}, 1},
        {{{}, {}, {}, {"O*"}}, {"Odd", "Out"}, {0, 2, 0}, 1},
        {{{}, {}, {}, {"Gone-uuid", "Idle"}}, {"Gone", "Idle"}, {0, 4, 0}, 0},
        {{{}, {"EG2"}, {}, {}}, {"Idle"}, {0, 0, 0}, 0},
        {{{}, {"EG1"}, {"Flow[B-Z]"}, {}}, {"Gone"}, {0, 4, 0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter.describe());
        lv::BrokerView view = whole;
        lv::applyFilter(view, c.filter);
        std::set<std::string> shown;
        for (const lv::GroupView& g : view.groups) {
            for (const lv::FlowView& f : g.flows) {
                for (const lv::NodeView& n : f.nodes)
                    shown.insert(n.label);
            }
        }
        EXPECT_EQ(shown, c.nodes);
        for (int slot = 0; slot < lv::kSlots; ++slot)
            EXPECT_EQ(view.sums[slot].count, c.sums[slot]) << slot;
        EXPECT_EQ(view.events.size(), c.events);
        const std::string text = everyFormat(view).at("text");
        EXPECT_EQ(text.find("Sums of what is shown:") != std::string::npos, c.filter.narrowsTree());
    }
    // A filter that keeps everything sums exactly as the library does.
    lv::BrokerView all = whole;
    lv::applyFilter(all, {{}, {}, {}, {"*"}});
    EXPECT_EQ(lv::toJson(all)["sums"], lv::toJson(whole)["sums"]);
}

TEST(ViewerOutput, TableHasOneLinePerNodeInTheChosenOrder) {
    StandardSegment segment;
    lv::BrokerView view = segment.decode(false);
    for (lv::NodeView& n : view.groups[0].flows[0].nodes)
        n.rate = n.label == "Out" ? 9.0 : n.label == "In" ? 5.0 : 1.0;
    const struct {
        lv::SortKey sort;
        std::vector<std::string> first;
    } cases[] = {
        {lv::SortKey::kRate, {"FlowA/Out", "FlowA/In", "FlowA/Compute"}},
        {lv::SortKey::kMessages, {"FlowB/Gone", "FlowA/In", "FlowA/Out"}},
        {lv::SortKey::kQueued, {"FlowB/Gone", "FlowA/In", "FlowA/Compute"}},
        {lv::SortKey::kName, {"FlowA/Compute", "FlowA/In", "FlowA/Odd"}},
    };
    for (const auto& c : cases) {
        lv::TableOptions options;
        options.sort = c.sort;
        std::ostringstream out;
        lv::writeTable(out, {view}, options);
        const std::vector<std::string> lines = linesOf(out.str());
        ASSERT_EQ(lines.size(), 2u + 6u) << out.str();  // header, titles, six nodes
        EXPECT_EQ(lines[0].rfind("broker \"BRK1\" " + std::string(kUuid), 0), 0u);
        for (size_t i = 0; i < c.first.size(); ++i)
            EXPECT_EQ(lines[2 + i].rfind("EG1/" + c.first[i], 0), 0u) << out.str();
        if (c.sort == lv::SortKey::kName) {  // In: messages, rate, sizes, queued
            EXPECT_NE(lines[3].find("      3   5.00/s     200 B     300 B     1.000 s"),
                      std::string::npos);
        }
    }
}

// Values in base units, labels escaped and valid UTF-8 (promtool and a real
// Prometheus server check the syntax in exporter_test.sh).
TEST(ViewerOutput, PrometheusCountersGaugesBaseUnitsAndLabels) {
    StandardSegment segment;
    lv::BrokerView view = segment.decode(false);
    view.label = "BRK \"1\" \\\xff";  // escaped, and the stray byte replaced
    std::ostringstream prometheus, openMetrics, none;
    lv::writePrometheus(prometheus, {view}, false);
    lv::writePrometheus(openMetrics, {view}, true);
    lv::writePrometheus(none, {}, false);

    const std::string text = prometheus.str();
    const std::string inLabels = R"({broker="BRK \"1\" \\)"
                                 "\xEF\xBF\xBD"
                                 R"(",broker_uuid=")" +
                                 std::string(kUuid) + R"(",execution_group="EG1",flow="FlowA",)" +
                                 R"(node="In",node_uuid="In-uuid",node_type="input"})";
    EXPECT_NE(text.find("lumena_node_messages_total" + inLabels + " 3\n"), std::string::npos);
    EXPECT_NE(text.find("lumena_node_elapsed_seconds_total" + inLabels + " 0.009\n"),
              std::string::npos);
    EXPECT_NE(text.find("lumena_node_queued_max_seconds" + inLabels + " 1.5\n"), std::string::npos);
    EXPECT_NE(text.find("execution_group=\"EG1\",node_type=\"output\"} 6\n"), std::string::npos);
    // A node without messages has counters but no min, max or times.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("node=\"Idle\"") == std::string::npos)
            continue;
        EXPECT_TRUE(line.find("_total{") != std::string::npos ||
                    line.rfind("lumena_node_deleted{", 0) == 0 ||
                    line.rfind("lumena_node_statistics_unstable{", 0) == 0)
            << line;
    }
    EXPECT_EQ(text.find("_created"), std::string::npos);
    EXPECT_NE(none.str().find("\nlumena_brokers 0\n"), std::string::npos);

    // OpenMetrics: counters started at the broker's last reset.
    const std::string om = openMetrics.str();
    ASSERT_NE(view.resetTime, 0u);
    EXPECT_NE(om.find("lumena_node_messages_created" + inLabels + " " +
                      std::to_string(lv::unixSeconds(view.resetTime)) + "\n"),
              std::string::npos);
    EXPECT_NE(om.find("# UNIT lumena_node_elapsed_seconds seconds\n"), std::string::npos);
}

// ---- real segments inside the sandbox ----------------------------------------

namespace {

// A segment made by the test under a broker's key file, holding given bytes.
struct RawSegment {
    RawSegment(const std::string& uuid, const std::vector<unsigned char>& bytes)
        : path(lv::keyFilePath(uuid)) {
        close(open(path.c_str(), O_CREAT | O_WRONLY, 0660));
        id = shmget(ftok(path.c_str(), 1), bytes.size(), IPC_CREAT | IPC_EXCL | 0660);
        EXPECT_NE(id, -1) << std::strerror(errno);
        address = static_cast<unsigned char*>(shmat(id, nullptr, 0));
        std::memcpy(address, bytes.data(), bytes.size());
    }
    ~RawSegment() {
        shmdt(address);
        shmctl(id, IPC_RMID, nullptr);
        unlink(path.c_str());
    }
    std::string path;
    int id = -1;
    unsigned char* address = nullptr;
};

struct RunResult {
    int code;
    std::string out, err;
};

RunResult runInProcess(std::vector<const char*> args) {
    args.insert(args.begin(), "lumenaview");
    std::ostringstream out, err;
    const int code = lv::runLumenaview(static_cast<int>(args.size()), args.data(), out, err);
    return {code, out.str(), err.str()};
}

// Runs a shell command line; standard error is dropped.
RunResult runShell(const std::string& command) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ""};
}

const std::string kViewer = std::string(ZOV_BINARY_DIR) + "/src/tools/lumenaview";

// Every System V IPC object of the namespace. Attaching and detaching moves a
// segment's last-attach process and times (column 6, columns 12 on), the
// rest, attachment count included, must not change.
std::string ipcObjects() {
    std::string listing;
    for (const char* kind : {"shm", "sem", "msg"}) {
        std::ifstream file(std::string("/proc/sysvipc/") + kind);
        std::string line;
        std::getline(file, line);  // column titles
        for (std::string field; std::getline(file, line); listing += '\n') {
            std::istringstream in(line);
            for (int column = 1; in >> field; ++column)
                listing +=
                    std::string(kind) != "shm" || (column < 12 && column != 6) ? field + ' ' : "";
        }
    }
    return listing;
}

std::set<std::string> tmpFiles() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        names.insert(entry.path().filename().string());
    return names;
}

// Polls `probe` every 50 ms for up to ten seconds.
template <typename Probe>
bool eventually(Probe probe) {
    for (int i = 0; i < 200; ++i) {
        if (probe())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

TEST(ViewerCli, WrongUsageAndMissingBrokersGetClearMessagesAndTheirExitCodes) {
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    const struct {
        std::vector<const char*> args;
        int code;
        const char* says;
    } cases[] = {
        {{"-w", "0"}, lv::kExitUsage, "'0' is not a number of seconds from 0.1 to 86400"},
        {{"-w", "1", "-n", "0"}, lv::kExitUsage, "from 1 to 1000000000"},
        {{"--format", "xml"}, lv::kExitUsage, "xml"},
        {{"-f", "json", "-w", "1"}, lv::kExitUsage, "with --watch use --format ndjson"},
        {{"--sort", "rate"}, lv::kExitUsage, "--sort orders the lines of --table"},
        {{"-b", "NOPE*"}, lv::kExitNoBroker, "no broker matches --broker 'NOPE*'"},
        {{"-b", "BRK?", "--node", "In"}, lv::kExitOk, ""},
        {{"-b", "5e1f0c3a-*", "--list"}, lv::kExitOk, ""},
    };
    for (const auto& c : cases) {
        const RunResult run = runInProcess(c.args);
        EXPECT_EQ(run.code, c.code) << c.args[0] << ' ' << c.args[1] << ": " << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    const RunResult list = runInProcess({"--list"});
    EXPECT_NE(list.out.find("BRK1  " + std::string(kUuid) + "          1  12.1 KiB\n"),
              std::string::npos)
        << list.out;
    const RunResult help = runInProcess({"--help"});
    for (const char* range : {"0.1 to 86400", "{rate,messages,queued,name}", "Exit codes:"})
        EXPECT_NE(help.out.find(range), std::string::npos) << range;
}

TEST(ViewerCli, AbsentForeignAndTruncatedSegmentsGiveClearErrorsNeverACrash) {
    EXPECT_EQ(runShell(kViewer).code, lv::kExitNoBroker);

    RawSegment foreign("f0f0f0f0-0000-4000-8000-000000000001",
                       std::vector<unsigned char>(4096, 'Z'));
    SegmentBuilder builder;
    builder.carve(lv::kStatsEyecatcher);
    RawSegment truncated(
        "f0f0f0f0-0000-4000-8000-000000000002",
        std::vector<unsigned char>(builder.image.begin(), builder.image.begin() + 200));
    const RunResult both = runInProcess({});
    EXPECT_EQ(both.code, lv::kExitUnreadable);
    EXPECT_NE(both.err.find("foreign segment"), std::string::npos);
    EXPECT_NE(both.err.find("truncated segment"), std::string::npos);
    EXPECT_NE(runInProcess({"-f", "json"}).out.find("\"error\":\"foreign segment"),
              std::string::npos);

    StandardSegment good;  // beside a readable broker, shown with the others reported
    RawSegment readable(kUuid, good.builder.image);
    EXPECT_EQ(runInProcess({"-f", "prometheus"}).code, lv::kExitPartial);
}

// The live table on a real terminal (tmux): rewritten in place, so the screen
// always holds one header at the top and the latest figures, nothing scrolled.
TEST(ViewerCli, WatchTableRewritesTheTerminalScreenInPlace) {
    if (runShell("tmux -V").code != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    ASSERT_EQ(runShell("TERM=xterm tmux new-session -d -s lv -x 110 -y 20 '" + kViewer +
                       " -w 0.2 --table --sort messages'")
                  .code,
              0);
    const auto screen = [] { return runShell("tmux capture-pane -p -t lv").out; };
    EXPECT_TRUE(eventually([&] { return screen().find("EG1/FlowA/In") != std::string::npos; }));
    ZOV_STIR in(0);  // 50 more messages reach "In"
    in.get(live.address + segment.statisticsOffsets["In"]);
    for (int i = 0; i < 50; ++i)
        in.updateStatistics(0, 0.001, 10);
    in.put(live.address + segment.statisticsOffsets["In"]);
    EXPECT_TRUE(eventually([&] { return screen().find(" 53 ") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // more refreshes
    const std::string shown = screen();
    runShell("tmux kill-server");
    std::filesystem::remove_all("/tmp/tmux-" + std::to_string(getuid()));
    const std::vector<std::string> lines = linesOf(shown);
    ASSERT_EQ(lines.size(), 8u) << shown;  // header, titles, six nodes
    EXPECT_EQ(lines[0].rfind("broker \"BRK1\"", 0), 0u) << shown;
    EXPECT_EQ(lines[2].rfind("EG1/FlowA/In ", 0), 0u) << shown;  // 53 messages: first
    EXPECT_NE(lines[2].find(" 53 "), std::string::npos) << shown;
}

TEST(ViewerReadOnly, EveryFormLeavesTheSegmentIpcObjectsAndFilesAsTheyWere) {
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    const std::string objects = ipcObjects();
    const std::set<std::string> files = tmpFiles();
    for (const char* arguments :
         {"", "-e", "-f json -e", "-f ndjson", "-f prometheus", "-f openmetrics", "-e -w 0.2 -n 3",
          "--table -w 0.2 -n 2", "--list", "--node 'I*' -b 'BRK?'"}) {
        const RunResult run = runShell(kViewer + " " + arguments);
        EXPECT_EQ(run.code, lv::kExitOk) << arguments;
        EXPECT_NE(run.out.find("BRK1"), std::string::npos) << arguments;
        const std::vector<unsigned char>& image = segment.builder.image;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), live.address)) << arguments;
        EXPECT_EQ(ipcObjects(), objects) << arguments;
        EXPECT_EQ(tmpFiles(), files) << arguments;
    }
}

// A capture copies only the headers and the used part of each area (of the
// statistics area alone without events): it must decode as the whole segment.
TEST(ViewerReadOnly, ACaptureDecodesAsTheWholeSegment) {
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    for (const bool events : {true, false}) {
        lv::Capture capture =
            lv::captureSegment(kUuid, 3, lv::locateStatistics,
                               events ? lv::CaptureAreas::kAll : lv::CaptureAreas::kStatistics);
        capture.image.takenAt = 0;
        EXPECT_EQ(everyFormat(lv::decodeBroker(kUuid, capture.image, {events, nullptr})),
                  everyFormat(segment.decode(events)));
    }
}

// The deployment example of README.md, run as the README says: it parses,
// its names reach the viewer intact, and SIGTERM to brokerhost stops every
// group process and leaves nothing behind.
TEST(ViewerReadme, DeploymentExampleRunsShowsItsNamesAndStopsCleanly) {
    std::ifstream readme(std::string(ZOV_SOURCE_DIR) + "/README.md");
    const std::string text((std::istreambuf_iterator<char>(readme)), {});
    const size_t start = text.find("```ini\n") + 7;
    const std::set<std::string> before = tmpFiles();
    std::ofstream("/tmp/readme.conf") << text.substr(start, text.find("```", start) - start);
    const std::string host = std::string(ZOV_BINARY_DIR) + "/src/broker/brokerhost";
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);  // its own process group, with its group processes
        execl(host.c_str(), host.c_str(), "--fork-groups", "--log", "/dev/null", ZOV_PLUGIN_PATH,
              "/tmp/readme.conf", nullptr);
        _exit(127);
    }
    nlohmann::json doc;
    EXPECT_TRUE(eventually([&] {
        const RunResult run = runInProcess({"-f", "json"});
        doc = run.code == lv::kExitOk ? nlohmann::json::parse(run.out)[0] : nlohmann::json();
        return run.code == lv::kExitOk && doc["execution_groups"].size() == 2 &&
               doc["sums"]["input"]["messages"] > 0;
    }));
    const std::string table = runInProcess({"--table"}).out;
    EXPECT_NE(table.find("ORDERS/OrderFlow/Zustellung-配送-🚚"), std::string::npos) << table;
    kill(child, SIGTERM);
    int status = 0;
    if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; })) {
        kill(-child, SIGKILL);  // hangs: it does not stop its group processes
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    for (const nlohmann::json& group : doc["execution_groups"])
        EXPECT_NE(kill(group["process_id"].get<int>(), 0), 0) << "a group process is left";
    unlink("/tmp/readme.conf");
    EXPECT_EQ(ipcObjects(), "");
    EXPECT_EQ(tmpFiles(), before);
}
