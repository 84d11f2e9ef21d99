// Configuration file and broker registry lookup. Runs inside zovsandbox, so
// /opt and /var are private tmpfs mounts that the cases fill freely.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "zov/zovctool.h"
#include "zov/zovpnode.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string value(const std::string& path, const char* key) {
    ZOV_String found = ZOV_GetRegistryValue(path.c_str(), key);
    return found.getcValue();
}

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZOV_ResetEnvironmentRegistry();
        fs::remove_all("/opt/wmqi");
        fs::remove_all("/opt/mqsi");
        fs::remove_all("/var/wmqi");
        fs::remove_all("/var/mqsi");
    }
    void TearDown() override {
        ZOV_ResetEnvironmentRegistry();
        bZOVTracing = 0;
    }
    const std::string cfg = "/opt/wmqi/lil/zovpnode.cfg";
};

TEST_F(ConfigTest, ValueIsCutOutOfTheKeyLine) {
    struct Case {
        const char* line;
        const char* expected;
    } cases[] = {
        {"ZOVMemorySize 65536\n", "65536"},
        {"ZOVMemorySize=65536\n", "65536"},
        {"ZOVMemorySize\t65536\n", "65536"},
        {"ZOVMemorySize65536\n", "65536"},
        {"ZOVMemorySize \t 65536 trailing words\n", "65536"},
        {"ZOVMemorySize = 65536\n", ""},   // the word read is the lone "=", then dropped
        {"ZOVMemorySize\n", ""},           // a key alone counts as absent
        {"zovmemorysize 65536\n", ""},     // keys are case-sensitive
        {"ZOVMemorySize 65536", "65536"},  // no newline at the end of the file
    };
    for (const Case& c : cases) {
        writeFile(cfg, c.line);
        EXPECT_EQ(value(cfg, "ZOVMemorySize"), c.expected) << "line: " << c.line;
    }
}

TEST_F(ConfigTest, KeyPrefixMatchesALongerKeyAndTheLastMatchWins) {
    writeFile(cfg, "ZOVNodeTraceX On\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "X");

    writeFile(cfg, "ZOVNodeTrace On\nZOVMemorySize 8192\nZOVNodeTrace Off\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "Off");

    // A later line without a value does not undo an earlier match.
    writeFile(cfg, "ZOVNodeTrace On\nZOVNodeTrace\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "On");
}

TEST_F(ConfigTest, BlankAndIndentedLinesAreSkipped) {
    writeFile(cfg, "\n\n   \n\t  ZOVMemorySize 4096\n\n    \tZOVNodeTrace On\n\n");
    EXPECT_EQ(value(cfg, "ZOVMemorySize"), "4096");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "On");
}

TEST_F(ConfigTest, MissingFileOrNullArgumentsGiveEmpty) {
    EXPECT_EQ(value("/opt/wmqi/lil/none.cfg", "ZOVNodeTrace"), "");
    EXPECT_TRUE(ZOV_GetRegistryValue(nullptr, "ZOVNodeTrace").isEmpty());
    writeFile(cfg, "ZOVNodeTrace On\n");
    EXPECT_TRUE(ZOV_GetRegistryValue(cfg.c_str(), nullptr).isEmpty());
    EXPECT_TRUE(ZOV_FindRegistryValue(nullptr, "ZOVNodeTrace").isEmpty());
    EXPECT_TRUE(ZOV_FindRegistryValue(cfg.c_str(), nullptr).isEmpty());
}

TEST_F(ConfigTest, LinesOverTheLimitArePassedOverWithoutHarm) {
    const std::string longValue(600, 'v');
    const std::string fitting(kZOVMaxLine - 13, 'w');  // "ZOVNodeTrace " + value = 511
    writeFile(cfg, "ZOVNodeTrace " + longValue + "\nZOVMemorySize 8192\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "");
    EXPECT_EQ(value(cfg, "ZOVMemorySize"), "8192");

    writeFile(cfg, "ZOVNodeTrace " + fitting + "\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), fitting);

    // A long line before the key line does not hide it, nor split into a
    // false match from its tail.
    writeFile(cfg, std::string(1000, 'x') + "ZOVNodeTrace Tail\nZOVNodeTrace On\n");
    EXPECT_EQ(value(cfg, "ZOVNodeTrace"), "On");
}

TEST_F(ConfigTest, RegistryDirectoryHoldsOneFilePerKey) {
    const std::string dir = "/var/wmqi/registry/BRK1";
    writeFile(dir + "/BrokerUUID", "1234-abcd-5678\n");
    EXPECT_EQ(value(dir, "BrokerUUID"), "1234-abcd-5678");
    EXPECT_EQ(value(dir + "/", "BrokerUUID"), "1234-abcd-5678");

    // Several lines: the first word of the last non-blank line.
    writeFile(dir + "/BrokerUUID", "first-uuid extra\n  second-uuid more words\n\n\n");
    EXPECT_EQ(value(dir, "BrokerUUID"), "second-uuid");

    EXPECT_EQ(value(dir, "NoSuchKey"), "");
    EXPECT_EQ(value("/var/wmqi/registry/NOBROKER", "BrokerUUID"), "");
}

TEST_F(ConfigTest, FirstCallFixesTheConfigurationPath) {
    // Neither file exists: the second location is taken without a test.
    EXPECT_STREQ(ZOV_Environment_Registry(nullptr), "/opt/mqsi/lil/zovpnode.cfg");
    writeFile(cfg, "ZOVNodeTrace On\n");
    EXPECT_STREQ(ZOV_Environment_Registry(nullptr), "/opt/mqsi/lil/zovpnode.cfg");
    EXPECT_STREQ(ZOV_Environment_Registry("/opt/other.cfg"), "/opt/mqsi/lil/zovpnode.cfg");

    ZOV_ResetEnvironmentRegistry();
    EXPECT_STREQ(ZOV_Environment_Registry(nullptr), cfg.c_str());

    ZOV_ResetEnvironmentRegistry();
    EXPECT_STREQ(ZOV_Environment_Registry("/opt/other.cfg"), "/opt/other.cfg");
    EXPECT_STREQ(ZOV_Environment_Registry(nullptr), "/opt/other.cfg");

    // A path that does not fit the 256-byte buffer is refused.
    ZOV_ResetEnvironmentRegistry();
    const std::string tooLong = "/opt/" + std::string(300, 'p');
    EXPECT_STREQ(ZOV_Environment_Registry(tooLong.c_str()), cfg.c_str());
}

TEST_F(ConfigTest, TracingIsOnOnlyForExactlyOn) {
    struct Case {
        const char* content;
        int tracing;
    } cases[] = {
        {"ZOVNodeTrace On\n", 1},
        {"ZOVNodeTrace=On\n", 1},
        {"ZOVNodeTrace on\n", 0},
        {"ZOVNodeTrace ON\n", 0},
        {"ZOVNodeTrace yes\n", 0},
        {"ZOVNodeTrace Onn\n", 0},
        {"ZOVNodeTrace\n", 0},
        {"", 0},
        {"ZOVNodeTrace On\nZOVNodeTrace Off\n", 0},
    };
    for (const Case& c : cases) {
        writeFile(cfg, c.content);
        bZOVTracing = 1 - c.tracing;
        getCommonValues();
        EXPECT_EQ(bZOVTracing, c.tracing) << "file: " << c.content;
    }
    // No configuration file at all turns tracing off.
    fs::remove_all("/opt/wmqi");
    ZOV_ResetEnvironmentRegistry();
    bZOVTracing = 1;
    getCommonValues();
    EXPECT_EQ(bZOVTracing, 0);
}

}  // namespace
