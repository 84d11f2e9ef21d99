// The memory dump, tracing off (no trace line, no text formatted for a
// message), the names the library exports, and the configuration file and
// registry lookup (/opt and /var are the sandbox's private mounts).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "support/plugin_env.h"

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

class TraceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        bZOVTracing = 0;
        zovtest::configure(nullptr);
    }
    standin::LogSink log;
};

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

TEST_F(TraceTest, DumpLinesHaveFixedColumnsWhateverTheSwitch) {
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
TEST_F(TraceTest, TracingOffWritesNoTraceLineAndFormatsNoTextForAMessage) {
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
    auto spare = plugin->createNode({"FMTBRK", "group", "flow", "spare"});
    spare.reset();
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
    EXPECT_EQ(lookup("/opt/none.cfg", "ZOVMemorySize"), "");
    EXPECT_TRUE(ZOV_GetRegistryValue(nullptr, "k").isEmpty());
    EXPECT_TRUE(ZOV_FindRegistryValue(zovtest::kConfigFile, nullptr).isEmpty());
}

TEST(Config, RegistryDirectoryHoldsOneFilePerKey) {
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
