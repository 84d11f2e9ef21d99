// Tracing on (a node's whole life compared line by line with
// data/node_life.txt; ZOV_WRITE_TRANSCRIPT=1 writes the observed transcript
// instead: read every changed line before committing it) and off, the memory
// dump, the exported names, the configuration file and registry lookup.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcstar.h"

// The formatter is counted through the program's own definitions of the C
// library's formatting functions, which the plug-in calls instead.
namespace {
std::atomic<bool> countFormatting{false};
std::atomic<long> formatCalls{0};
using Vsnprintf = int (*)(char*, size_t, const char*, va_list);
using VsnprintfChk = int (*)(char*, size_t, int, size_t, const char*, va_list);
}  // namespace

extern "C" int vsnprintf(char* s, size_t n, const char* format, va_list args) {
    formatCalls += countFormatting ? 1 : 0;
    static const auto real = reinterpret_cast<Vsnprintf>(dlsym(RTLD_NEXT, "vsnprintf"));
    return real(s, n, format, args);
}

// The same function as fortified builds call it.
extern "C" int __vsnprintf_chk(char* s, size_t n, int flag, size_t length, const char* format,
                               va_list args) {
    formatCalls += countFormatting ? 1 : 0;
    static const auto real = reinterpret_cast<VsnprintfChk>(dlsym(RTLD_NEXT, "__vsnprintf_chk"));
    return real(s, n, flag, length, format, args);
}

namespace {

std::string hex(const void* p, const char* prefix = "0X") {
    char text[32];
    std::snprintf(text, sizeof text, "%lX", reinterpret_cast<unsigned long>(p));
    return prefix + std::string(text);
}

const char kExpected[] = ZOV_SOURCE_DIR "/tests/data/node_life.txt";

// One line per log call: unit, function, message number, text, inserts.
std::string normalised(const standin::LogRecord& r) {
    static const std::pair<std::regex, const char*> kVarying[] = {
        {std::regex("^\\| 0X[0-9A-F]+ \\| .* \\|$"), "| <dump> |"},
        // Printed with "%Li", which the sanitizers' formatters read differently.
        {std::regex("^((fopen|opendir) .* rc )-?[0-9]+$"), "$1<handle>"},
        {std::regex("(Thread ID +: )-?[0-9]+"), "$1<thread>"},
        {std::regex("[0-9A-Fa-f]{9,}"), "<hex>"},
        {std::regex("ftok = [0-9A-E][0-9A-F]{7}"), "ftok = <key>"},
        {std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"), "<date time>"},
        {std::regex("Date <[0-9]{8}> Time <[0-9]{8}>"), "Date <date> Time <time>"},
        {std::regex("(Put (date|time) +: )[0-9]{8}"), "$1<put>"},
        {std::regex("(queued time +: +)1[0-9]{3}$"), "$1<about 1000>"},
        {std::regex("Exit: 1\\.[0-9]{6}$"), "Exit: <about 1>"},
        {std::regex("(elapsed time +: +)[0-9]+$"), "$1<ms>"},
        {std::regex("([^0-9])" + std::to_string(getpid()) + "(?![0-9])"), "$1<pid>"},
    };
    std::string text = r.text;
    for (const auto& [pattern, placeholder] : kVarying)
        text = std::regex_replace(text, pattern, placeholder);
    std::ostringstream line;
    line << r.file << " " << r.function << " " << r.logType << " #" << r.messageNumber << " \""
         << r.source << "\" | " << text;
    for (const std::string& insert : r.inserts)
        line << " {" << insert << "}";
    return line.str();
}

std::vector<std::string> nodeLife(standin::LogSink& log) {
    // A line of the test's own: what a call returned.
    const auto note = [&](const char* what, long value) {
        standin::LogRecord line;
        line.file = "test";
        line.function = what;
        line.text = std::to_string(value);
        log.write(line);
    };
    zovtest::configure("ZOVNodeTrace On\n");
    EXPECT_TRUE(standin::writeBrokerRegistry("TRBRK", "trace-uuid"));
    // A UUID that cannot name a key file: no segment, so no monitoring node.
    EXPECT_TRUE(standin::writeBrokerRegistry("NOSHM", "no/such/dir"));
    auto plugin = zovtest::loadPlugin();
    plugin->callEntry();  // the switch is on from the start of this call
    {
        const ZOV_Resource_ID id = zovtest::identity("trace-uuid", "TRBRK");
        ZOV_Broker reader(&id);
        // Its first look at the events depends on the millisecond: left out.
        ZOV_Ordered_Record_Set records;
        bZOVTracing = 0;
        reader.getEvents(&records);
        bZOVTracing = 1;
        auto first = plugin->createNode({"TRBRK", "group", "flow", "first"});
        first->setDownstream([](const standin::Delivery&) {});
        first->setAttribute("colour", "blue");
        first->setAttribute("label", "First");
        first->setAttribute("eventMessage", "seen");
        first->setAttribute("collectQueueTime", "no");
        first->setAttribute("type", "input");
        first->getAttribute("type");
        first->getAttributeName(2);
        standin::MessageSpec recipe;
        recipe.putSecondsAgo(1.0);
        const auto message = standin::Message::fromSpec(recipe);
        first->evaluate(&message);
        first->evaluate(nullptr);
        first->setDownstream(standin::throwing("Compute1", "evaluating", "division by zero"));
        first->evaluate(&message);

        auto second = plugin->createNode({"TRBRK", "group", "flow", "second"});
        for (const char* name : {"type", "collectQueueTime", "eventMessage", "label", "Type"})
            note("getAttribute", second->getAttribute(name).result);  // defaults; no label
        second->setAttribute("label", "Second");
        note("setAttribute", second->setAttribute("Type", "input"));  // names are case-sensitive
        second->setAttribute("type", "output");
        second->setAttribute("type", "input");  // forwarded, but the first value is given out
        second->getAttribute("type");
        for (int index : {3, -1})
            note("getAttributeName", second->getAttributeName(index).result);
        second->attributeNames();
        second->evaluate(&message);
        first->evaluate(&message);  // an event of a template already stored

        // Set-up failures: no monitoring node, nothing propagated, and no
        // output terminal asked for after a failed input terminal.
        for (const char* call : {"cniCreateInputTerminal", "cniCreateOutputTerminal"}) {
            const long outputs = standin::callCount(standin::Call::CreateOutputTerminal);
            standin::ScopedFailure failure(call, 8);
            auto failed = plugin->createNode({"TRBRK", "group", "flow", "failed"});
            failed->setDownstream([](const standin::Delivery&) {});
            note("propagations", failed->evaluate(&message).propagations);
            note("output terminals asked for",
                 standin::callCount(standin::Call::CreateOutputTerminal) - outputs);
        }
        auto bare = plugin->createNode({"NOSHM", "group", "flow", "bare"});
        bare->setDownstream([](const standin::Delivery&) {});
        note("propagations", bare->evaluate(&message).propagations);
        bare->setDownstream(standin::throwing("Compute2", "mapping", "bad field"));
        note("rethrown", bare->evaluate(&message).rethrown);

        reader.readStatsArea(1);
        reader.print();
        reader.getStatsArea()->read(&records);
        records.print();
        records.clearAndDestroy();
        reader.getEvents(&records);
        records.print();
        records.clearAndDestroy();
    }
    // Messages are written with tracing off too (the switch needs exactly "On").
    zovtest::configure("ZOVNodeTrace on\n");
    standin::ScopedFailure failure("cniDefineNodeClass", 8);
    note("factory returned", plugin->callEntry() != nullptr);
    standin::ScopedFailure noFactory("cniCreateNodeFactory", 12);
    note("factory returned", plugin->callEntry() != nullptr);
    std::vector<std::string> lines;
    for (const standin::LogRecord& r : log.all())
        lines.push_back(normalised(r));
    return lines;
}

// Kept readable: a call whose lines (its callees' included) equal an earlier
// call's becomes one line naming where those are, and a run of identical
// lines one line with its length.
std::vector<std::string> condensed(const std::vector<std::string>& raw) {
    std::vector<std::pair<std::string, int>> lines;    // a text and how often in a row
    std::vector<std::pair<std::string, size_t>> open;  // "unit function ... | " and its entry
    std::map<std::string, size_t> seen;                // a call's lines and where they first appear
    const auto append = [&](const std::string& line) {
        if (!lines.empty() && lines.back().first == line)
            return ++lines.back().second, false;
        return lines.emplace_back(line, 1), true;
    };
    for (const std::string& line : raw) {
        if (!append(line))
            continue;
        if (line.ends_with("| Entry")) {
            open.emplace_back(line.substr(0, line.size() - 5), lines.size() - 1);
        } else if (!open.empty() && line.starts_with(open.back().first + "Exit")) {
            const auto [head, first] = open.back();
            open.pop_back();
            std::string block;
            for (size_t i = first; i < lines.size(); ++i)
                block += lines[i].first + " x" + std::to_string(lines[i].second) + "\n";
            const auto [earlier, fresh] = seen.emplace(block, first + 1);
            if (fresh)
                continue;
            lines.resize(first);
            append(head + "Entry ... " + line.substr(head.size()) + " as at line " +
                   std::to_string(earlier->second));
        }
    }
    std::vector<std::string> texts;
    for (const auto& [text, times] : lines)
        texts.push_back(times == 1 ? text : text + " x" + std::to_string(times));
    return texts;
}

// First in the program: the IPC ids it prints are those of a fresh namespace.
TEST(Transcript, NodeLifeWithTracingOn) {
    standin::LogSink log;
    const std::vector<std::string> observed = condensed(nodeLife(log));
    zovtest::configure(nullptr);
    if (std::getenv("ZOV_WRITE_TRANSCRIPT") != nullptr) {
        std::ofstream out(kExpected);
        for (const std::string& line : observed)
            out << line << "\n";
        GTEST_SKIP() << "wrote " << kExpected;
    }
    std::ifstream in(kExpected);
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);)
        expected.push_back(line);
    ASSERT_FALSE(expected.empty()) << kExpected;
    for (size_t i = 0; i < std::max(expected.size(), observed.size()); ++i) {
        ASSERT_EQ(i < observed.size() ? observed[i] : "<end>",
                  i < expected.size() ? expected[i] : "<end>")
            << "line " << i + 1 << " of " << kExpected;
    }
}

TEST(Exports, OnlyTheEntryPointsAreExportedUnderTheirCNames) {
    void* library = dlopen(ZOV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name :
         {"bipGetMessageflowNodeFactory", "zovCreateNodeContext", "zovDeleteNodeContext",
          "zovGetAttributeName", "zovSetAttribute", "zovGetAttribute", "zovEvaluate"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    for (const char* name : {"getCommonValues", "bZOVTracing"})
        EXPECT_EQ(dlsym(library, name), nullptr) << name;
    dlclose(library);
}

TEST(Trace, DumpLinesHaveFixedColumnsWhateverTheSwitch) {
    standin::LogSink log;
    const unsigned char bytes[] = {0x41, 0x00, 0x7F, 'H', 'I', ' ', '~', 0xFF, 0x80};
    ZOV_DumpMemory(bytes, 3, "Three");
    ZOV_DumpMemory(bytes, 8, nullptr);
    ZOV_DumpMemory(bytes, 9, nullptr);
    ZOV_DumpMemory(bytes, 0, "Empty");
    const std::string at = "| " + hex(bytes) + " | ";
    EXPECT_EQ(zovtest::textsOf(log.all()),
              (std::vector<std::string>{
                  "ZOV_DumpMemory | Three",
                  "ZOV_DumpMemory | " + at + "41 00 7F " + std::string(15, ' ') + " | A..      |",
                  "ZOV_DumpMemory | " + at + "41 00 7F 48 49 20 7E FF  | A..HI ~. |",
                  "ZOV_DumpMemory | " + at + "41 00 7F 48 49 20 7E FF  | A..HI ~. |",
                  "ZOV_DumpMemory | | " + hex(bytes + 8) + " | 80 " + std::string(21, ' ') +
                      " | ." + std::string(7, ' ') + " |",
                  "ZOV_DumpMemory | Empty"}));
}

// A node's life with tracing off ("on" is not "On") writes no trace line; its
// first message formats its record mutex's name, later ones format nothing.
TEST(Trace, TracingOffWritesNoTraceLineAndFormatsNoTextForAMessage) {
    standin::LogSink log;
    zovtest::configure("ZOVNodeTrace on\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(standin::writeBrokerRegistry("FMTBRK", "fmt-uuid"));
    auto node = plugin->createNode({"FMTBRK", "group", "flow", "node"});
    node->setAttribute("label", "Counted");
    node->setAttribute("eventMessage", "message seen");
    node->setAttribute("type", "input");
    node->attributeNames();
    ASSERT_EQ(zovtest::monitorOf(*node)->isInitialized(), 1);
    auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(2.5));
    node->evaluate(&message);
    plugin->createNode({"FMTBRK", "group", "flow", "spare"})->destroy();
    EXPECT_EQ(zovtest::textsOf(log.traceLines()), std::vector<std::string>{});
    auto formattedDuring = [&] {
        formatCalls = 0;
        countFormatting = true;
        for (int i = 0; i < 20; ++i)
            node->evaluate(&message);
        countFormatting = false;
        return formatCalls.load();
    };
    bZOVTracing = 1;
    EXPECT_GE(formattedDuring(), 20 * 5);  // the counter does see the formatter
    bZOVTracing = 0;
    EXPECT_EQ(formattedDuring(), 0);
}

std::string lookup(const std::string& path, const char* key) {
    ZOV_String found = ZOV_GetRegistryValue(path.c_str(), key);
    return found.getcValue();
}

std::string valueIn(const std::string& content, const char* key = "ZOVMemorySize") {
    standin::writeTextFile(zovtest::kConfigFile, content);
    return lookup(zovtest::kConfigFile, key);
}

TEST(Config, ValueIsCutOutOfTheLastMatchingLine) {
    EXPECT_EQ(valueIn("ZOVMemorySize 65536\n"), "65536");
    EXPECT_EQ(valueIn("ZOVMemorySize=65536"), "65536");  // "=" dropped, no final newline
    EXPECT_EQ(valueIn("ZOVMemorySize\t65536 more\n"), "65536");
    EXPECT_EQ(valueIn("ZOVMemorySize65536\n"), "65536");
    EXPECT_EQ(valueIn("ZOVMemorySize = 65536\n"), "");  // the word is the lone "="
    EXPECT_EQ(valueIn("ZOVMemorySize\nzovmemorysize 1\n"), "");
    EXPECT_EQ(valueIn("ZOVNodeTraceX On\n", "ZOVNodeTrace"), "X");  // a key prefix matches
    EXPECT_EQ(valueIn("ZOVMemorySize 1\nZOVMemorySize 2\nZOVMemorySize\n"), "2");
    EXPECT_EQ(valueIn("\n \n\t  ZOVMemorySize 4096\n\n   \tZOVNodeTrace On\n"), "4096");
    // Lines over 511 characters are passed over whole; 511 still fit.
    const std::string fits(kZOVMaxLine - 14, 'w');
    EXPECT_EQ(valueIn("ZOVMemorySize " + fits + "\n"), fits);
    EXPECT_EQ(valueIn(std::string(600, 'x') + "ZOVMemorySize 9\nZOVMemorySize " +
                      std::string(600, 'v') + "\n"),
              "");
    EXPECT_TRUE(ZOV_GetRegistryValue(nullptr, "k").isEmpty());
    EXPECT_TRUE(ZOV_FindRegistryValue(zovtest::kConfigFile, nullptr).isEmpty());
    // A registry directory holds one file per key.
    const std::string dir = "/var/wmqi/registry/BRK1";
    standin::writeTextFile(dir + "/BrokerUUID", "first extra\n  second-uuid more\n\n\n");
    EXPECT_EQ(lookup(dir, "BrokerUUID"), "second-uuid");  // first word of the last line
    EXPECT_EQ(lookup(dir + "/", "BrokerUUID"), "second-uuid");
    EXPECT_EQ(lookup(dir, "Other"), "");
}

TEST(Config, FirstCallFixesThePathAndTheSwitchNeedsExactlyOn) {
    zovtest::configure(nullptr);
    EXPECT_STREQ(ZOV_Environment_Registry(nullptr), "/opt/mqsi/lil/zovpnode.cfg");
    standin::writeTextFile(zovtest::kConfigFile, "ZOVNodeTrace On\n");
    EXPECT_STREQ(ZOV_Environment_Registry("/opt/other.cfg"), "/opt/mqsi/lil/zovpnode.cfg");
    getCommonValues();
    EXPECT_EQ(bZOVTracing, 0);  // the file came too late

    ZOV_ResetEnvironmentRegistry();
    EXPECT_STREQ(ZOV_Environment_Registry(("/opt/" + std::string(300, 'p')).c_str()),
                 zovtest::kConfigFile);  // a path over 255 characters is refused
    const std::pair<const char*, int> cases[] = {{"On", 1},  {"=On", 1}, {"on", 0}, {"ON", 0},
                                                 {"yes", 0}, {"Onn", 0}, {"", 0}};
    for (const auto& [value, tracing] : cases) {
        zovtest::configure((std::string("ZOVNodeTrace ") + value + "\n").c_str());
        getCommonValues();
        EXPECT_EQ(bZOVTracing, tracing) << value;
    }
    bZOVTracing = 0;
    zovtest::configure(nullptr);
}

}  // namespace
