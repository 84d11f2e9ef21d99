// Node attributes: what the broker gets back for each name, which value is
// given out and which one reaches the monitoring node, defaults, and the
// enumeration of names into buffers of every length.
#include <gtest/gtest.h>

#include "support/plugin_env.h"
#include "zov/zovpattr.h"

namespace {

class AttributesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        plugin = zovtest::loadPlugin();
        ASSERT_TRUE(standin::writeBrokerRegistry("ATTRBRK", "attr-uuid"));
        node = plugin->createNode({"ATTRBRK", "group", "flow", "node"});
        ASSERT_NE(zovtest::monitorOf(*node), nullptr);
    }
    std::unique_ptr<standin::Plugin> plugin;
    std::unique_ptr<standin::Node> node;
};

TEST_F(AttributesTest, ResultsDefaultsAndTheFirstValueGivenOut) {
    EXPECT_EQ(node->getAttribute("type").value, "other");
    EXPECT_EQ(node->getAttribute("collectQueueTime").value, "yes");
    auto event = node->getAttribute("eventMessage");
    EXPECT_EQ(event.result, 0);
    EXPECT_EQ(event.value, "");
    EXPECT_TRUE(event.terminated);

    EXPECT_EQ(node->setAttribute("label", "Monitor1"), 1);
    EXPECT_EQ(node->setAttribute("colour", "blue"), 1);
    EXPECT_EQ(node->setAttribute("Type", "input"), 1);  // names are case-sensitive
    EXPECT_EQ(node->setAttribute("type", "input"), 0);
    EXPECT_EQ(node->setAttribute("type", "output"), 0);
    EXPECT_EQ(node->setAttribute("collectQueueTime", "no"), 0);
    EXPECT_EQ(node->setAttribute("eventMessage", "abcdef"), 0);
    EXPECT_EQ(zovtest::contextOf(*node)->getAttributes().entries(), 7);  // every set is kept

    ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*node);
    EXPECT_EQ(node->getAttribute("type").value, "input");        // the first value is given out
    EXPECT_EQ(monitor->getConfiguredNodeType(), ZOV_NT_OUTPUT);  // the latest was forwarded
    EXPECT_EQ(monitor->isQueueTimeCollected(), 0);
    EXPECT_TRUE(monitor->getNodeId().getLabel() == "Monitor1");

    auto label = node->getAttribute("label");
    EXPECT_EQ(label.result, 1);
    EXPECT_EQ(label.value, "");  // nothing copied for an unknown name
    EXPECT_EQ(node->getAttribute("colour").result, 1);
    auto cut = node->getAttribute("eventMessage", 6);
    EXPECT_EQ(cut.value, "abcdef");
    EXPECT_FALSE(cut.terminated);
    EXPECT_EQ(node->getAttribute("eventMessage", -5).result, 0);
    const ZOV_String type("type");
    EXPECT_EQ(plugin->functions()->getAttribute(node->context(), type.getValue(), nullptr, 9), 0);
}

TEST_F(AttributesTest, EnumerationByIndexAndBufferLength) {
    EXPECT_EQ(node->attributeNames(),
              (std::vector<std::string>{"type", "eventMessage", "collectQueueTime"}));
    auto cut = node->getAttributeName(2, 3);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.value, "col");
    EXPECT_FALSE(cut.terminated);
    EXPECT_TRUE(node->getAttributeName(0, 5).terminated);
    for (int index : {3, -1, 1000})
        EXPECT_EQ(node->getAttributeName(index).result, 1) << index;
    EXPECT_EQ(plugin->functions()->getAttributeName(node->context(), 0, nullptr, 10), 1);
}

TEST(AttributesList, FindGivesTheFirstEntryOfAName) {
    ZOV_Attributes_List list;
    const ZOV_String type("type"), typ("typ"), one("1"), two("2");
    list.append(new ZOV_Attribute(&type, &one));
    list.append(new ZOV_Attribute(&type, &two));
    EXPECT_TRUE(list.find(&type)->getValue() == "1");
    EXPECT_EQ(list.find(&typ), nullptr);
    EXPECT_EQ(list.find(nullptr), nullptr);
    list.cleanup();
    EXPECT_EQ(list.find(&type), nullptr);
    list.append(new ZOV_Attribute(&type, nullptr));  // usable again after cleanup
    EXPECT_TRUE(list.find(&type)->getValue().isEmpty());
}

}  // namespace
