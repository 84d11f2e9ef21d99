// Node attributes: what the broker gets back for each name, which value is
// given out and which one reaches the monitoring node, defaults, and the
// enumeration of names into buffers of every length.
#include <gtest/gtest.h>

#include "support/plugin_env.h"
#include "zov/zovpattr.h"

namespace {

TEST(AttributesList, FindGivesTheFirstEntryOfAName) {
    ZOV_Attributes_List list;
    const ZOV_String type("type"), colour("colour"), input("input"), output("output");
    list.append(new ZOV_Attribute(&type, &input));
    list.append(new ZOV_Attribute(&colour, &output));
    list.append(new ZOV_Attribute(&type, &output));
    EXPECT_EQ(list.entries(), 3);

    ZOV_Attribute* found = list.find(&type);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(found->getValue() == "input");
    const ZOV_String typeUpper("Type"), typ("typ");
    EXPECT_EQ(list.find(&typeUpper), nullptr);
    EXPECT_EQ(list.find(&typ), nullptr);
    EXPECT_EQ(list.find(nullptr), nullptr);

    list.cleanup();
    EXPECT_EQ(list.entries(), 0);
    EXPECT_EQ(list.find(&type), nullptr);
    list.append(new ZOV_Attribute(&colour, nullptr));  // usable again after cleanup
    EXPECT_TRUE(list.find(&colour)->getValue().isEmpty());
}

TEST(AttributesList, AttributeCopiesAreIndependent) {
    const ZOV_String name("eventMessage"), value("hello");
    ZOV_Attribute original(&name, &value);
    EXPECT_EQ(original.status, 0);
    ZOV_Attribute copy(original);
    const ZOV_String other("changed");
    original.setValue(&other);
    original.setValue(nullptr);  // a null value changes nothing
    EXPECT_TRUE(copy.getName() == "eventMessage");
    EXPECT_TRUE(copy.getValue() == "hello");
    EXPECT_TRUE(original.getValue() == "changed");
    original.cleanup();
    EXPECT_EQ(original.status, ZOV_STATUS_FAILED);
    EXPECT_TRUE(copy.getValue() == "hello");
}

class NodeAttributesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        plugin = zovtest::loadPlugin();
        ASSERT_TRUE(plugin->ok());
        ASSERT_TRUE(standin::writeBrokerRegistry("ATTRBRK", "attr-uuid"));
        node = plugin->createNode({"ATTRBRK", "group", "flow", "node"});
        ASSERT_NE(zovtest::monitorOf(*node), nullptr);
    }
    void TearDown() override { node.reset(); }

    std::unique_ptr<standin::Plugin> plugin;
    std::unique_ptr<standin::Node> node;
};

TEST_F(NodeAttributesTest, ResultsPerName) {
    EXPECT_EQ(node->setAttribute("label", "Monitor1"), 1);
    EXPECT_EQ(node->setAttribute("type", "other"), 0);
    EXPECT_EQ(node->setAttribute("eventMessage", "text"), 0);
    EXPECT_EQ(node->setAttribute("collectQueueTime", "yes"), 0);
    EXPECT_EQ(node->setAttribute("colour", "blue"), 1);
    EXPECT_EQ(node->setAttribute("Type", "input"), 1);  // names are case-sensitive

    // Every set is kept, known name or not.
    EXPECT_EQ(zovtest::contextOf(*node)->getAttributes().entries(), 6);

    auto label = node->getAttribute("label");
    EXPECT_EQ(label.result, 1);
    EXPECT_EQ(label.value, "");  // nothing copied for an unknown name
    EXPECT_EQ(node->getAttribute("colour").result, 1);
    EXPECT_EQ(node->getAttribute("type").result, 0);
    EXPECT_EQ(node->getAttribute("eventMessage").value, "text");

    // The label reached the monitoring node all the same.
    EXPECT_TRUE(zovtest::monitorOf(*node)->getNodeId().getLabel() == "Monitor1");
}

TEST_F(NodeAttributesTest, DefaultsBeforeAnySet) {
    auto type = node->getAttribute("type");
    EXPECT_EQ(type.result, 0);
    EXPECT_EQ(type.value, "other");
    EXPECT_TRUE(type.terminated);
    auto collect = node->getAttribute("collectQueueTime");
    EXPECT_EQ(collect.value, "yes");
    auto event = node->getAttribute("eventMessage");
    EXPECT_EQ(event.result, 0);
    EXPECT_EQ(event.value, "");
    EXPECT_TRUE(event.terminated);  // only the terminating 0 is copied

    // A null buffer copies nothing but still tells whether the name is known.
    const ZOV_String typeName("type"), labelName("label");
    EXPECT_EQ(plugin->functions()->getAttribute(node->context(), typeName.getValue(), nullptr, 10),
              0);
    EXPECT_EQ(plugin->functions()->getAttribute(node->context(), labelName.getValue(), nullptr, 10),
              1);
}

TEST_F(NodeAttributesTest, FirstValueIsGivenOutWhileTheLatestIsForwarded) {
    ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*node);
    node->setAttribute("type", "input");
    EXPECT_EQ(monitor->getConfiguredNodeType(), ZOV_NT_INPUT);
    node->setAttribute("type", "output");
    EXPECT_EQ(node->getAttribute("type").value, "input");
    EXPECT_EQ(monitor->getConfiguredNodeType(), ZOV_NT_OUTPUT);

    node->setAttribute("collectQueueTime", "yes");
    node->setAttribute("collectQueueTime", "no");
    EXPECT_EQ(node->getAttribute("collectQueueTime").value, "yes");
    EXPECT_EQ(monitor->isQueueTimeCollected(), 0);
}

TEST_F(NodeAttributesTest, ValueIsCutToTheBufferLength) {
    node->setAttribute("eventMessage", "abcdef");
    auto cut = node->getAttribute("eventMessage", 6);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.value, "abcdef");
    EXPECT_FALSE(cut.terminated);
    auto whole = node->getAttribute("eventMessage", 7);
    EXPECT_TRUE(whole.terminated);
    EXPECT_EQ(node->getAttribute("eventMessage", 0).value, "");
    EXPECT_EQ(node->getAttribute("eventMessage", -5).result, 0);  // nothing written
}

TEST_F(NodeAttributesTest, EnumerationByIndexAndBufferLength) {
    EXPECT_EQ(node->attributeNames(),
              (std::vector<std::string>{"type", "eventMessage", "collectQueueTime"}));

    auto cut = node->getAttributeName(2, 3);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.value, "col");
    EXPECT_FALSE(cut.terminated);
    auto exact = node->getAttributeName(0, 5);
    EXPECT_EQ(exact.value, "type");
    EXPECT_TRUE(exact.terminated);

    EXPECT_EQ(node->getAttributeName(3).result, 1);
    EXPECT_EQ(node->getAttributeName(-1).result, 1);
    EXPECT_EQ(node->getAttributeName(1000).result, 1);
    EXPECT_EQ(plugin->functions()->getAttributeName(node->context(), 0, nullptr, 10), 1);
}

TEST_F(NodeAttributesTest, ContextWithoutMonitoringNodeStillKeepsValues) {
    // A broker UUID that cannot name a key file: the segment cannot be made,
    // so the context has no monitoring node.
    ASSERT_TRUE(standin::writeBrokerRegistry("NOSHM", "no/such/dir"));
    auto bare = plugin->createNode({"NOSHM", "group", "flow", "node"});
    ASSERT_EQ(zovtest::monitorOf(*bare), nullptr);
    EXPECT_EQ(bare->setAttribute("type", "input"), 0);
    EXPECT_EQ(bare->setAttribute("label", "x"), 1);
    EXPECT_EQ(bare->getAttribute("type").value, "input");
    EXPECT_EQ(bare->attributeNames().size(), 3u);
}

}  // namespace
