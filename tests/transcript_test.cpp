// A node's whole life with tracing on, compared line by line with
// data/node_life.txt: every trace, detail, message and print line with its
// unit and function; values that vary from run to run become placeholders.
// ZOV_WRITE_TRANSCRIPT=1 writes the observed transcript instead: read every
// changed line before committing it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcrcst.h"
#include "zov/zovcstar.h"

namespace {

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

}  // namespace
