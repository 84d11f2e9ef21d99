// Configuration file and broker registry lookup (inside zovsandbox: /opt and
// /var are private tmpfs mounts).
#include <gtest/gtest.h>

#include "support/plugin_env.h"

namespace {

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
