// Trace lines and logged messages as the broker receives them, the memory
// dump, and the promise that tracing off formats no text for a message.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "support/plugin_env.h"

// ---------------------------------------------------------------------------
// Counting the formatter. The program's own definitions of the formatted
// print functions take the place of the C library's for every object linked
// into it, the plug-in's included; each forwards to the library's function.

namespace {

std::atomic<bool> countFormatting{false};
std::atomic<long> formatCalls{0};

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using VsnprintfFunction = int (*)(char*, size_t, const char*, va_list);
using VsnprintfChkFunction = int (*)(char*, size_t, int, size_t, const char*, va_list);

void countCall() {
    if (countFormatting.load())
        ++formatCalls;
}

}  // namespace

extern "C" int vsnprintf(char* s, size_t n, const char* format, va_list args) {
    countCall();
    static const auto real = next<VsnprintfFunction>("vsnprintf");
    return real(s, n, format, args);
}

extern "C" int snprintf(char* s, size_t n, const char* format, ...) {
    countCall();
    static const auto real = next<VsnprintfFunction>("vsnprintf");
    va_list args;
    va_start(args, format);
    const int written = real(s, n, format, args);
    va_end(args);
    return written;
}

extern "C" int __vsnprintf_chk(char* s, size_t n, int flag, size_t length, const char* format,
                               va_list args) {
    countCall();
    static const auto real = next<VsnprintfChkFunction>("__vsnprintf_chk");
    return real(s, n, flag, length, format, args);
}

extern "C" int __snprintf_chk(char* s, size_t n, int flag, size_t length, const char* format, ...) {
    countCall();
    static const auto real = next<VsnprintfChkFunction>("__vsnprintf_chk");
    va_list args;
    va_start(args, format);
    const int written = real(s, n, flag, length, format, args);
    va_end(args);
    return written;
}

namespace {

using standin::LogRecord;

std::string hexAddress(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%#lX", reinterpret_cast<unsigned long>(p));
    return text;
}

class TraceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        bZOVTracing = 0;
        zovtest::configure(nullptr);
    }
    standin::LogSink log;
};

void expectTraceLine(const LogRecord& record, const char* unit, const char* function,
                     const std::string& text) {
    EXPECT_EQ(record.logType, 2);
    EXPECT_EQ(record.file, unit);
    EXPECT_EQ(record.function, function);
    EXPECT_EQ(record.source, "");
    EXPECT_FALSE(record.nullSource);
    EXPECT_EQ(record.messageNumber, 0);
    EXPECT_EQ(record.text, text);
    EXPECT_TRUE(record.inserts.empty());
    EXPECT_GT(record.line, 0);
}

TEST_F(TraceTest, FactoryTracesOnceTheSwitchIsReadAsOn) {
    zovtest::configure("ZOVNodeTrace On\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok()) << plugin->error();
    EXPECT_EQ(bZOVTracing, 1);
    EXPECT_EQ(plugin->factoryName(), "LumenaMonitorNodeFactory");
    EXPECT_EQ(plugin->className(), "ComLumenaMonitorNode");

    // The switch was 0 at the first entry, so the factory's own lines start
    // with the names.
    auto lines = log.ofFunction("bipGetMessageflowNodeFactory");
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(zovtest::textsOf(lines));
    expectTraceLine(lines[0], "zovpnode", "bipGetMessageflowNodeFactory",
                    "LumenaMonitorNodeFactory-ComLumenaMonitorNode");
    expectTraceLine(lines[1], "zovpnode", "bipGetMessageflowNodeFactory",
                    "Exit: " + hexAddress(plugin->factory()).replace(0, 2, "0x"));

    log.clear();
    BrkFactory again = plugin->callEntry();
    lines = log.ofFunction("bipGetMessageflowNodeFactory");
    ASSERT_EQ(lines.size(), 3u);
    expectTraceLine(lines[0], "zovpnode", "bipGetMessageflowNodeFactory", "Entry");
    EXPECT_EQ(lines[2].text, "Exit: " + hexAddress(again).replace(0, 2, "0x"));

    // A null context is accepted by the delete function: entry and exit only.
    log.clear();
    plugin->functions()->deleteContext(nullptr);
    const auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    expectTraceLine(all[0], "zovpnode", "zovDeleteNodeContext", "Entry");
    expectTraceLine(all[1], "zovpnode", "zovDeleteNodeContext", "Exit");
}

TEST_F(TraceTest, NodeOperationsTraceEntryAndExitAroundTheirWork) {
    zovtest::configure("ZOVNodeTrace On\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok());
    auto node = plugin->createNode({"BRK", "group", "flow", "node"});
    log.clear();
    EXPECT_EQ(node->setAttribute("colour", "blue"), 1);
    const auto set = log.ofFunction("ZOV_Node_Context::setAttributeValue");
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(set[0].text, "Entry");
    EXPECT_EQ(set[1].text, "Attribute Name = <colour>  Attribute Value = <blue>");
    EXPECT_EQ(set[2].text, "Exit: 0x1");
    EXPECT_EQ(set[0].file, "zovpcont");
    const auto wrapper = log.ofFunction("zovSetAttribute");
    ASSERT_EQ(wrapper.size(), 2u);
    EXPECT_EQ(wrapper[1].text, "Exit: 0x1");

    log.clear();
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    node->evaluate(&message);
    const auto propagate = log.ofFunction("ZOV_Node_Context::propagateMessage");
    ASSERT_EQ(propagate.size(), 3u) << ::testing::PrintToString(zovtest::textsOf(propagate));
    EXPECT_EQ(propagate[0].text, "Entry");
    EXPECT_EQ(propagate[1].text, "cniPropagate rc=0");
    EXPECT_EQ(propagate[2].text, "Exit");
    EXPECT_FALSE(log.containing("Date <").empty());
}

TEST_F(TraceTest, TracingOffWritesMessagesButNoTraceLines) {
    zovtest::configure("ZOVNodeTrace on\n");  // not exactly "On"
    {
        standin::ScopedFailure failure("cniDefineNodeClass", 8);
        ASSERT_TRUE(failure.ok());
        auto plugin = zovtest::loadPlugin();
        EXPECT_NE(plugin->factory(), nullptr);  // still returned
    }
    EXPECT_EQ(bZOVTracing, 0);
    EXPECT_TRUE(log.traceLines().empty());
    const auto messages = log.withNumber(2);
    ASSERT_EQ(messages.size(), 1u);
    const LogRecord& m = messages[0];
    EXPECT_EQ(m.logType, 2);
    EXPECT_EQ(m.file, "zovpnode");
    EXPECT_EQ(m.function, "bipGetMessageflowNodeFactory");
    EXPECT_EQ(m.source, "LumenaMonitorNode");
    EXPECT_EQ(m.text, "Function cniDefineNodeClass failed in bipGetMessageflowNodeFactory. 8.");
    EXPECT_EQ(m.inserts, (std::vector<std::string>{"cniDefineNodeClass",
                                                   "bipGetMessageflowNodeFactory", "8"}));

    // A whole node life with tracing off: not one trace line.
    log.clear();
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok());
    auto node = plugin->createNode({"BRK", "group", "flow", "node"});
    node->setAttribute("label", "N1");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "passing");
    node->getAttribute("type");
    node->attributeNames();
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    node->evaluate(&message);
    node.reset();
    EXPECT_TRUE(log.traceLines().empty())
        << ::testing::PrintToString(zovtest::textsOf(log.traceLines()));
}

TEST_F(TraceTest, FactoryFailureIsReportedWithTheReturnCode) {
    zovtest::configure(nullptr);
    standin::ScopedFailure failure("cniCreateNodeFactory", 12);
    auto plugin = zovtest::loadPlugin();
    EXPECT_EQ(plugin->factory(), nullptr);
    const auto messages = log.withNumber(2);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              "Function cniCreateNodeFactory failed in bipGetMessageflowNodeFactory. 12.");
    EXPECT_EQ(messages[0].inserts[0], "cniCreateNodeFactory");
}

TEST_F(TraceTest, DumpLinesHaveFixedColumnsWhateverTheSwitch) {
    bZOVTracing = 0;
    const unsigned char bytes[] = {0x41, 0x00, 0x7F, 'H', 'I', ' ', '~', 0xFF, 0x80};

    ZOV_DumpMemory(bytes, 3, "Three bytes");
    auto lines = log.all();
    ASSERT_EQ(lines.size(), 2u);  // no Entry/Exit with tracing off
    EXPECT_EQ(lines[0].text, "Three bytes");
    EXPECT_EQ(lines[1].text,
              "| " + hexAddress(bytes) + " | 41 00 7F " + std::string(15, ' ') + " | A..      |");
    EXPECT_EQ(lines[1].messageNumber, 0);
    EXPECT_EQ(lines[1].function, "ZOV_DumpMemory");

    log.clear();
    ZOV_DumpMemory(bytes, 8, nullptr);
    lines = log.all();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "| " + hexAddress(bytes) + " | 41 00 7F 48 49 20 7E FF  | A..HI ~. |");

    log.clear();
    ZOV_DumpMemory(bytes, 9, nullptr);
    lines = log.all();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "| " + hexAddress(bytes + 8) + " | 80 " + std::string(21, ' ') +
                                 " | ." + std::string(7, ' ') + " |");

    log.clear();
    ZOV_DumpMemory(bytes, 0, "Empty");
    ZOV_DumpMemory(nullptr, 8, "Null");
    lines = log.all();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Empty");

    bZOVTracing = 1;
    log.clear();
    ZOV_DumpMemory(bytes, 1, nullptr);
    lines = log.all();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "Entry");
    EXPECT_EQ(lines[2].text, "Exit");
}

// The first message of a node builds its statistics record's named mutex
// (whose name is formatted once); every later message must format nothing.
TEST_F(TraceTest, TracingOffFormatsNoTextForAMessage) {
    zovtest::configure("ZOVMemorySize 65536\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok());
    ASSERT_TRUE(standin::writeBrokerRegistry("FMTBRK", "fmt-uuid"));
    auto node = plugin->createNode({"FMTBRK", "group", "flow", "node"});
    ASSERT_NE(zovtest::monitorOf(*node), nullptr);
    node->setAttribute("label", "Counted");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "message seen");
    ASSERT_EQ(zovtest::monitorOf(*node)->isInitialized(), 1);
    standin::MessageSpec spec;
    spec.putSecondsAgo(2.5);
    auto message = standin::Message::fromSpec(spec);
    node->evaluate(&message);  // warm-up

    auto countDuring = [&] {
        formatCalls = 0;
        countFormatting = true;
        for (int i = 0; i < 20; ++i)
            node->evaluate(&message);
        countFormatting = false;
        return formatCalls.load();
    };
    // The counter sees the formatter: with tracing on, every message formats.
    bZOVTracing = 1;
    EXPECT_GE(countDuring(), 20 * 5);
    bZOVTracing = 0;
    EXPECT_EQ(countDuring(), 0);
    node.reset();
}

}  // namespace
