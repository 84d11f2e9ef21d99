// The viewer on segments carved as the library carves them: every output form,
// filter and sort order, its command line and its live table, compared whole with
// tests/data/viewer_*.txt (ZOV_UPDATE_EXPECTED=1 rewrites them: read before committing).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "support/host_programs.h"
#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_filter.h"
#include "tools/lumenaview_json.h"
#include "tools/lumenaview_locks.h"
#include "tools/lumenaview_prom.h"
#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_table.h"
#include "tools/lumenaview_text.h"
#include "broker/brk_api.h"
#include "tools/lumenaview_units.h"
#include "zov/core/zovcbrir.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcmema.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcstir.h"

namespace lv = lumenaview;

namespace {

constexpr char kUuid[] = "5e1f0c3a-0000-4000-8000-00000000b001";

// The segment header, then the statistics, templates and event data areas.
enum Area { kStats, kTemplates, kData };
class SegmentBuilder {
  public:
    static constexpr uint32_t kAreaSize = 4096;
    SegmentBuilder() : image(3 * kAreaSize + ZOV_Memory_Manager::kHeaderSize) {
        format(segment, 0, image.size(), lv::kSegmentEyecatcher);
        const char* const names[] = {lv::kStatsEyecatcher, lv::kTemplatesEyecatcher,
                                     lv::kEventDataEyecatcher};
        for (size_t i = 0; i < 3; ++i) {
            areaOffsets[i] = ZOV_Memory_Manager::kHeaderSize + i * kAreaSize;
            format(areas[i], areaOffsets[i], kAreaSize, names[i]);
        }
        segment.setNextPosition(image.data() + image.size());
    }
    size_t put(Area area, ZOV_Record& record) {
        auto* position = static_cast<unsigned char*>(areas[area].getNextPosition());
        areas[area].setNextPosition(record.put(position));
        return static_cast<size_t>(position - image.data());
    }
    // As the library does when an events area is full: the next record goes
    // to the area's start, the high-water mark stays.
    void startAgain(Area area) { areas[area].setNextPosition(areas[area].getFirstPosition()); }
    lv::SegmentImage snapshot() const { return {image, {}, 0, 0}; }

    std::vector<unsigned char> image;
    size_t areaOffsets[3] = {};

  private:
    void format(ZOV_Memory_Manager& m, size_t offset, size_t size, const char* eyecatcher) {
        m.setSize(static_cast<unsigned>(size));
        m.setEyecatcher(eyecatcher);
        m.setAddress(image.data() + offset);
        m.setNextPosition(m.getFirstPosition());
    }
    ZOV_Memory_Manager segment, areas[3];
};

// Broker "BRK1" with two execution groups:
//   EG1 (process 1, alive): FlowA with In (type 1, 3 messages), Out (type 2, 2),
//                           Compute (type 3, 1) and Odd (type 7, 1: no slot);
//                           FlowB with Gone (type 2, deleted, 4 messages)
//   EG2 (a process id no process can have): FlowC with Idle (type 1, none)
// Event templates for In and Out; three events, one of them without template.
// `inLabel` (UTF-16, as a broker hands it over) replaces "In" in its node
// record and its template.
struct StandardSegment {
    explicit StandardSegment(const std::u16string& inLabel = u"In") {
        const ZOV_String in(reinterpret_cast<const unsigned short*>(inLabel.c_str()));
        const ZOV_String brokerLabel("BRK1"), brokerUuid(kUuid);
        const ZOV_Resource_ID brokerId(&brokerUuid, &brokerLabel);
        ZOV_BRIR broker(&brokerId);
        broker.setResetTime(ZOV_SecondsSince1901() - 60);
        builder.put(kStats, broker);
        auto& eg1 = resource<ZOV_EGIR>(broker, "EG1", 1);
        auto& flowA = resource<ZOV_MFIR>(eg1, "FlowA");
        node(flowA, in, "In", 1, {{0.5, 0.002, 100}, {1.5, 0.004, 300}, {1.0, 0.003, 200}});
        node(flowA, "Out", "Out", 2, {{0.0, 0.010, 1000}, {0.0, 0.020, 3000}});
        node(flowA, "Compute", "Compute", 3, {{0.0, 0.0015, 50}});
        node(flowA, "Odd", "Odd", 7, {{0.0, 0.001, 7}});
        goneOffset = node(resource<ZOV_MFIR>(eg1, "FlowB"), "Gone", "Gone", 2,
                          {{2, 1, 10}, {2, 1, 10}, {2, 1, 10}, {2, 1, 10}}, true);
        node(resource<ZOV_MFIR>(resource<ZOV_EGIR>(broker, "EG2", INT_MAX), "FlowC"), "Idle",
             "Idle", 1, {});
        event(storeTemplate(in, ZOV_NT_INPUT, ZOV_String("Message received ") + in), "payroll", 11);
        event(storeTemplate("Out", ZOV_NT_OUTPUT, "Message sent"), "billing", 12);
        ZOV_EVTR orphan(&in, &in, &in, ZOV_NT_OTHER, &in);  // never stored
        event(orphan, "lost", 13);
    }

    template <class Record>
    Record& resource(const ZOV_Record& parent, const ZOV_String& label, int pid = 0) {
        const ZOV_String uuid = label + "-uuid";
        const ZOV_Resource_ID id(&uuid, &label);
        auto& record = static_cast<Record&>(*keep.emplace_back(std::make_unique<Record>(&id)));
        record.setParent(parent.getRecordId());
        if constexpr (std::is_same_v<Record, ZOV_EGIR>)
            record.setProcessId(pid);
        if constexpr (!std::is_same_v<Record, ZOV_NOIR>)
            builder.put(kStats, record);  // a node record is put with its type
        return record;
    }

    struct Message {
        double queued, elapsed;
        int size;
    };
    size_t node(ZOV_MFIR& flow, const ZOV_String& label, const std::string& key, int type,
                const std::vector<Message>& messages, bool deleted = false) {
        auto& record = resource<ZOV_NOIR>(flow, label);
        record.setNodeType(static_cast<ZOV_NodeType>(type));
        if (deleted)
            record.markDeleted();
        const size_t offset = builder.put(kStats, record);
        ZOV_STIR statistics(1);
        statistics.setParent(record.getRecordId());
        for (const Message& m : messages)
            statistics.updateStatistics(m.queued, m.elapsed, m.size);
        statisticsOffsets[key] = builder.put(kStats, statistics);
        return offset;
    }

    const ZOV_Record& storeTemplate(const ZOV_String& node, ZOV_NodeType type,
                                    const ZOV_String& text) {
        const ZOV_String group("EG1"), flow("FlowA");
        keep.push_back(std::make_unique<ZOV_EVTR>(&group, &flow, &node, type, &text));
        builder.put(kTemplates, *keep.back());
        return *keep.back();
    }

    void event(const ZOV_Record& templ, const char* application, int thread) {
        BrkMqmd md{};
        std::memcpy(md.putApplName, application, std::strlen(application));
        md.msgId[0] = 0xAB;
        ZOV_EVDR record(&md, thread);
        record.setParent(templ.getRecordId());
        builder.put(kData, record);
    }

    lv::BrokerView decode(bool events = true) {
        lv::SegmentImage image = builder.snapshot();
        return lv::decodeBroker(kUuid, image, {events, nullptr});
    }

    SegmentBuilder builder;
    std::vector<std::unique_ptr<ZOV_Record>> keep;
    std::map<std::string, size_t> statisticsOffsets;
    size_t goneOffset = 0;
};

// Compares the sections with an expected file, masking what changes from run to
// run (times, record IDs, the version), control bytes shown as <XX>.
class ExpectedTexts {
  public:
    explicit ExpectedTexts(const char* file)
        : path(std::string(ZOV_SOURCE_DIR) + "/tests/data/" + file) {}
    std::ostream& section(const std::string& title) { return written << "=== " << title << '\n'; }
    void check() const {
        static const std::regex times(
            R"(\d{4}-\d\d-\d\d[T ]\d\d:\d\d:\d\d(\.\d{3})?(\+00:00)?|)"
            R"(\b1[6-9]\d{8}\b|\b[0-9A-F]{96}\b|(version|revision)="[^"]*")");
        std::string text;
        for (const char c : std::regex_replace(written.str(), times, "<masked>")) {
            char shown[8];
            std::snprintf(shown, sizeof shown, "<%02X>", static_cast<unsigned char>(c));
            text += (c >= 0 && c < 0x20 && c != '\n') || c == 0x7F ? shown : std::string(1, c);
        }
        if (std::getenv("ZOV_UPDATE_EXPECTED") != nullptr)
            std::ofstream(path) << text;
        std::ifstream in(path);
        EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(in), {}));
    }

  private:
    const std::string path;
    std::ostringstream written;
};

}  // namespace

// A watch shows each event once: all, nothing new, then only the one added.
TEST(ViewerDecode, EventsNewSinceThePreviousLookAreShownOnce) {
    StandardSegment segment;
    std::unordered_set<std::string> seen;
    const lv::DecodeOptions options{true, &seen};
    lv::SegmentImage image = segment.builder.snapshot();
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 3u);
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 0u);
    segment.event(segment.storeTemplate("Compute", ZOV_NT_OTHER, "Late"), "late", 14);
    image = segment.builder.snapshot();
    const lv::BrokerView later = lv::decodeBroker(kUuid, image, options);
    ASSERT_EQ(later.events.size(), 1u);
    EXPECT_EQ(later.events[0].text, "Late");
}

// After the data area started again, events keep the order they were written
// in, whatever their time stamps: the two written last were made first.
TEST(ViewerDecode, EventsKeepTheirWrittenOrderAcrossARestartOfTheArea) {
    StandardSegment segment;  // three events
    const ZOV_Record& templ = segment.storeTemplate("Compute", ZOV_NT_OTHER, "Later");
    const BrkMqmd md{};
    ZOV_EVDR madeFirst[] = {{&md, 1}, {&md, 2}};
    const int slots = (SegmentBuilder::kAreaSize - ZOV_Memory_Manager::kHeaderSize) / ZOV_EVDR::kSize;
    for (int thread = 100; thread < 100 + slots - 3; ++thread)
        segment.event(templ, "older", thread);
    segment.builder.startAgain(kData);
    for (ZOV_EVDR& record : madeFirst) {
        record.setParent(templ.getRecordId());
        segment.builder.put(kData, record);
    }
    const lv::BrokerView view = segment.decode();
    ASSERT_EQ(view.events.size(), static_cast<size_t>(slots));
    EXPECT_EQ(view.events.front().threadId, 13);  // the oldest survivor
    EXPECT_EQ(view.events[slots - 2].threadId, 1);
    EXPECT_EQ(view.events.back().threadId, 2);
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

// Several scripts, an emoji, lone surrogates, C0, C1 and DEL controls, quotes and
// backslashes in one label and its event, through every format; a corrupt record
// and an unstable one; each sort order.
TEST(ViewerOutput, EveryFormFilterAndSortOrderGivesTheExpectedText) {
    setenv("TZ", "UTC", 1);
    tzset();
    ExpectedTexts expected("viewer_outputs.txt");
    lv::BrokerView names = StandardSegment(
                               u"Grüppe 日本語 Кириллица ü日\U0001F600 a\xD83D\x0062\xDE00 "
                               u"t\x1B]0;x\x07! \x9B\x0032J\x7F say \"hi\" C:\\")
                               .decode();
    names.label = "BRK \"1\" \\\xff";  // a stray byte, replaced in the labels of metrics
    lv::writeText(expected.section("text"), names, {});
    lv::writeTable(expected.section("table"), {names}, {});
    lv::writeJson(expected.section("json"), {names}, true);
    lv::writePrometheus(expected.section("prometheus"), {names}, false);
    lv::writePrometheus(expected.section("openmetrics"), {names}, true);
    lv::writePrometheus(expected.section("prometheus, no broker"), {}, false);
    expected.section("prometheus on a terminal")
        << lv::terminalSafe(lv::prometheusText({names}, false));

    StandardSegment segment;
    lv::SegmentImage image = segment.builder.snapshot();
    image.bytes[segment.goneOffset] = 'X';  // the "RCRD" eyecatcher of FlowB's node
    image.unstableOffsets.push_back(segment.statisticsOffsets["Out"]);
    lv::writeText(expected.section("text, a corrupt record and an unstable one"),
                  lv::decodeBroker(kUuid, image, {true, nullptr}), {true, false});
    const lv::BrokerView whole = segment.decode();
    lv::BrokerView twins = whole;  // one label twice: distinct series; no infinite figure
    twins.groups.push_back(twins.groups[1]);
    twins.groups[1].flows[0].nodes[0].stats.sumSize = HUGE_VALL;
    lv::writePrometheus(expected.section("prometheus, a group twice, an infinite sum"), {twins},
                        false);
    lv::BrokerView all = whole;  // a filter keeping everything: the library's sums
    lv::applyFilter(all, {{}, {}, {}, {"*"}});
    EXPECT_EQ(lv::toJson(all)["sums"], lv::toJson(whole)["sums"]);
    lv::BrokerView rated = whole;
    for (lv::NodeView& n : rated.groups[0].flows[0].nodes)
        n.rate = n.label == "Out" ? 9.0 : n.label == "In" ? 5.0 : 1.0;
    for (const auto& [sort, name] : {std::pair{lv::SortKey::kRate, "rate"},
                                     {lv::SortKey::kMessages, "messages"},
                                     {lv::SortKey::kQueued, "queued"}}) {
        lv::writeTable(expected.section(std::string("table by ") + name), {rated}, {sort});
    }
    expected.check();
}

namespace {

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

std::pair<int, std::string> runShell(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

const std::string kViewer = std::string(ZOV_BINARY_DIR) + "/src/tools/lumenaview";

// What a look may not change: IPC objects with their attachments, names in /tmp.
std::string sandboxState() {
    std::ostringstream state;
    for (const zovtest::IpcObject& o : zovtest::allIpcObjects())
        state << o.kind << ' ' << o.key << ' ' << o.id << ' ' << o.count << '\n';
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        state << entry.path() << '\n';
    return state.str();
}

}  // namespace

// Every form, filters, a watch, --list, wrong usage, segments absent, foreign or
// cut short: exit code and output. No run changes the segment, an IPC object or a file.
TEST(ViewerCli, EveryFormAndWrongUsageGiveTheExpectedTextsAndOnlyLook) {
    setenv("TZ", "UTC", 1);
    ExpectedTexts expected("viewer_cli.txt");
    const auto run = [&](const std::string& arguments) {
        const auto [code, out] = runShell(kViewer + " " + arguments + " 2>&1");
        expected.section("lumenaview " + arguments) << "exit " << code << "\n" << out;
    };
    run("");
    run("--locks -f json");
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    const std::string before = sandboxState();
    const std::vector<unsigned char>& image = segment.builder.image;
    // Forms, watches, --list, filters, wrong usage, no broker; '|' separates the runs.
    std::istringstream runs(
        "-e|-f json -e|-f ndjson|-f prometheus|-f openmetrics|-e -w 0.2 -n 2|--table -w 0.2 -n 2|"
        "--list|-b 'BRK?' --node In --table|-e --node '*'|-e --node 'O*'|"
        "-e --node Gone-uuid --node Idle|-e --group EG2|-e --group EG1 --flow 'Flow[B-Z]'|"
        "-w 0|-w 1 -n 0|--format xml|-f json -w 1|--sort rate|-b 'NOPE*'|-f json -b 'NOPE*'|"
        "--table --wide|--wide");
    for (std::string arguments; std::getline(runs, arguments, '|');) {
        run(arguments);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), live.address)) << arguments;
        EXPECT_EQ(sandboxState(), before) << arguments;
    }
    RawSegment foreign("f0f0f0f0-0000-4000-8000-000000000001",
                       std::vector<unsigned char>(4096, 'Z'));
    RawSegment truncated("f0f0f0f0-0000-4000-8000-000000000002",
                         {image.begin(), image.begin() + 200});
    // The registry names the first: its metrics say so although it was never read.
    std::filesystem::create_directories("/var/wmqi/registry/FOREIGN_BROKER");
    std::ofstream("/var/wmqi/registry/FOREIGN_BROKER/BrokerUUID") << foreign.path.substr(5, 36);
    for (const char* arguments : {"-b 'f0f0*'", "--list", "-f json -b 'f0f0*'", "-f prometheus"})
        run(arguments);
    std::filesystem::remove_all("/var/wmqi/registry/FOREIGN_BROKER");
    run("--help");
    expected.check();
}

// --locks names a record's mutex by its node's label, converted from UTF-16
// as in every other view (the README's label, a lone surrogate, a control)
// and escaped on the terminal; its JSON stays whole even for a key file whose
// name is not UTF-8 (it aborted on both).
TEST(ViewerCli, LocksShowLabelsAndKeyFilesAsEveryViewDoes) {
    StandardSegment segment(u"Zustellung-配送-🚚 \xD800\x1B");
    RawSegment live(kUuid, segment.builder.image);
    ZOV_STIR in(0);
    in.get(live.address + segment.statisticsOffsets["In"]);
    const std::string mutexes[] = {lv::lockKeyFile(lv::toHex(in.getRecordId()->bytes, 48)),
                                   "/tmp/\xFF\xFE.zovmutx"};
    for (const std::string& path : mutexes)
        close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    const std::string label = "Zustellung-配送-🚚 \uFFFD";
    const auto [textCode, text] = runShell(kViewer + " --locks 2>&1");
    EXPECT_EQ(textCode, 0);
    EXPECT_NE(text.find("statistics of node " + label + "\\x1B\n"), std::string::npos) << text;
    EXPECT_NE(text.find("/tmp/\\xFF\\xFE.zovmutx"), std::string::npos) << text;
    const auto [jsonCode, json] = runShell(kViewer + " --locks -f json");
    ASSERT_EQ(jsonCode, 0) << json;
    std::set<std::string> shown;
    for (const auto& lock : nlohmann::json::parse(json))
        shown.insert(lock["key_file"].get<std::string>() + " " +
                     lock["subject"].get<std::string>());
    EXPECT_TRUE(shown.count(mutexes[0] + " statistics of node " + label + "\x1B")) << json;
    EXPECT_TRUE(shown.count("/tmp/\uFFFD\uFFFD.zovmutx ")) << json;
    for (const std::string& path : mutexes)
        unlink(path.c_str());
}

// The live table on a real terminal (tmux) is rewritten in place: one header at
// the top and the latest figures, nothing scrolled.
TEST(ViewerCli, WatchTableRewritesTheTerminalScreenInPlace) {
    if (runShell("tmux -V").first != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    ASSERT_EQ(runShell("TZ=UTC TERM=xterm tmux new-session -d -s lv -x 110 -y 20 '" + kViewer +
                       " -w 0.2 --table --sort messages'")
                  .first,
              0);
    const auto shows = [](const char* text) {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            if (runShell("tmux capture-pane -p -t lv").second.find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(shows("EG1/FlowA/In"));
    ZOV_STIR in(0);  // 50 more messages reach "In"
    in.get(live.address + segment.statisticsOffsets["In"]);
    for (int i = 0; i < 50; ++i)
        in.updateStatistics(0, 0.001, 10);
    in.put(live.address + segment.statisticsOffsets["In"]);
    EXPECT_TRUE(shows("     53   0.00/s"));  // refreshed again since
    ExpectedTexts expected("viewer_terminal.txt");
    expected.section("screen") << runShell("tmux capture-pane -p -t lv").second;
    runShell("tmux kill-server");
    std::filesystem::remove_all("/tmp/tmux-" + std::to_string(getuid()));
    expected.check();
}
