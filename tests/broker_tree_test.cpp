// The resource tree in one process (node types, sums per node-type slot, sets, a
// node's statistics record, the ID registry) and against the statistics area in
// shared memory (join, rebuild with and without deleted nodes, delete, maximum).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "broker/harness.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/core/zovcbrir.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"
#include "zov/node/zovcexgr.h"
#include "zov/node/zovcmefl.h"

namespace {

using namespace zovtest;

void countMessages(ZOV_Node& node, int messages) {
    for (int i = 0; i < messages; ++i)
        ASSERT_EQ(node.getNodeStatistics()->updateStatistics(0.0, 0.001, 100), ZOV_RC_OK);
}

// Inputs, outputs and others of a group with one of each, a deleted output
// and a stored node type outside 1-3 (a corrupt or foreign record).
TEST(ResourceStatistics, SlotsFollowTheNodeTypeUpThroughTheTree) {
    ZOV_Node unnamed(static_cast<const ZOV_NOIR*>(nullptr));
    unnamed.setNodeType(ZOV_NT_INPUT);
    EXPECT_EQ(unnamed.getNodeType(), ZOV_NT_OTHER) << "a node without record stays other";
    const ZOV_Resource_ID groupId = identity("eg-1", "EG1"), flowId = identity("mf-1", "MF1");
    ZOV_Execution_Group group(&groupId);
    ZOV_Message_Flow* flow = group.insertMessageFlow(&flowId);
    ASSERT_NE(flow, nullptr);
    const ZOV_Resource_ID ids[] = {identity("n-1", "In"), identity("n-2", "Out"),
                                   identity("n-3", "Gone"), identity("n-4", "Other"),
                                   identity("n-5", "Odd")};
    const ZOV_NodeType types[] = {ZOV_NT_INPUT, ZOV_NT_OUTPUT, ZOV_NT_OUTPUT, ZOV_NT_OTHER};
    for (int i = 0; i < 4; ++i) {
        ZOV_Node* node = flow->insertNode(&ids[i]);
        node->setNodeType(types[i]);
        countMessages(*node, 1 << i);
        if (i == 2)
            node->markDeleted();
    }
    ZOV_NOIR oddRecord(&ids[4]);
    std::vector<unsigned char> image(oddRecord.size());
    oddRecord.put(image.data());
    const int32_t seven = 7;
    std::memcpy(image.data() + image.size() - sizeof seven, &seven, sizeof seven);
    ZOV_NOIR stored(nullptr);
    ASSERT_NE(stored.get(image.data()), nullptr);
    countMessages(*flow->insertNode(&stored), 16);

    ZOV_STIR input(0), output(0), other(0);
    auto counts = [&] {
        return std::vector{asDouble(input.getMessageCount()), asDouble(output.getMessageCount()),
                           asDouble(other.getMessageCount())};
    };
    EXPECT_EQ(group.getStatistics(&input, &output, &other), ZOV_RC_MISSING)
        << "no aggregates before initStatistics";
    group.initStatistics();
    EXPECT_EQ(group.getStatistics(&input, &output, &other), ZOV_RC_OK);
    EXPECT_EQ(counts(), (std::vector<double>{1, 6, 8})) << "deleted nodes count, type 7 nowhere";
    EXPECT_EQ(group.getStatistics(&input, &output, &other), ZOV_RC_OK);
    EXPECT_EQ(counts(), (std::vector<double>{2, 12, 16})) << "adds, does not copy";
    EXPECT_EQ(group.getStatistics(&input, nullptr, &other), ZOV_RC_MISSING);
    EXPECT_EQ(counts(), (std::vector<double>{3, 12, 24})) << "the other slots are still filled";
}

TEST(ResourceSet, HoldsEachObjectOnceAndFindsAnAlikeMember) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_Node_Set set;
    auto* first = new ZOV_Node(&id);
    auto* second = new ZOV_Node(&id);
    EXPECT_EQ(set.insert(first), 0);
    EXPECT_EQ(set.insert(first), 0);
    set.insert(second);
    EXPECT_EQ(set.entries(), 2u);
    EXPECT_EQ(set.findNode(nullptr), nullptr);
    set.removeAndDestroy(first);
    EXPECT_EQ(set.findNode(&id), second);
    EXPECT_EQ(set.entries(), 1u);
}

TEST(NodeStatistics, FindStatisticsTakesTheStoredRecordOfThisNode) {
    const ZOV_Resource_ID flowId = identity("mf-1", "MF1"), id = identity("n-1", "N1"),
                          otherId = identity("n-2", "N2");
    ZOV_Message_Flow flow(&flowId);
    ZOV_Node& node = *flow.insertNode(&id);
    flow.insertNode(&otherId);
    ZOV_Record_Set records;
    EXPECT_EQ(flow.getRecords(&records), ZOV_RC_OK);
    EXPECT_EQ(records.entries(), 5u) << "the flow's, then each node's two";
    EXPECT_EQ(flow.getRecords(nullptr), ZOV_RC_NULL);
    EXPECT_EQ(node.isChildOf(&flow), 1);

    ZOV_STIR stored(1), foreign(1);
    stored.setParent(node.getRecordId());
    stored.updateStatistics(0.0, 0.001, 10);
    foreign.updateStatistics(0.0, 0.001, 10);
    ZOV_Record_Set set;
    set.insert(&foreign);
    EXPECT_EQ(node.findStatistics(&set), ZOV_RC_NOT_FOUND);
    EXPECT_EQ(asDouble(node.getNodeStatistics()->getMessageCount()), 0);
    set.insert(&stored);
    EXPECT_EQ(node.findStatistics(&set), ZOV_RC_OK);
    EXPECT_EQ(asDouble(node.getNodeStatistics()->getMessageCount()), 1);
    EXPECT_EQ(*node.getNodeStatistics()->getRecordId(), *stored.getRecordId());
    EXPECT_EQ(node.insertStatistics(nullptr), node.getNodeStatistics());
    node.resetStatistics();
    EXPECT_EQ(asDouble(node.getNodeStatistics()->getMessageCount()), 0);
    EXPECT_EQ(*node.getNodeStatistics()->getRecordId(), *stored.getRecordId());
}

class BrokerTree : public ::testing::Test {
  protected:
    void SetUp() override { configure(nullptr); }
    void TearDown() override { EXPECT_EQ(ipcObjectTotal(), 0) << "IPC objects left behind"; }

    static ZOV_Message_Flow* flowOf(ZOV_Broker& broker) {
        const ZOV_Resource_ID groupId = identity("eg-EG1", "EG1"),
                              flowId = identity("mf-MF1", "MF1");
        ZOV_Execution_Group* eg = broker.findExecutionGroup(&groupId);
        return eg != nullptr ? eg->findMessageFlow(&flowId) : nullptr;
    }
    static ZOV_Node* nodeOf(ZOV_Broker& broker, const char* node) {
        ZOV_Message_Flow* flow = flowOf(broker);
        const ZOV_Resource_ID nodeId = identity(std::string("no-") + node, node);
        return flow != nullptr ? flow->findNode(&nodeId) : nullptr;
    }
    static void count(ZOV_Broker& broker, ZOV_Node* node, int messages) {
        for (int i = 0; i < messages; ++i)
            ASSERT_EQ(broker.updateStatistics(node->getNodeStatistics(), 0.0, 0.001, 10), 0);
    }
    static double messagesOf(ZOV_Broker& broker, const ZOV_Node& node) {
        return asDouble(storedStatistics(broker, node)->getMessageCount());
    }

    standin::LogSink log;
};

TEST_F(BrokerTree, JoinWritesTheTreeAndReadAllKeepsDeletedNodes) {
    auto writer = makeBroker();
    ASSERT_EQ(writer->status, 0);
    EXPECT_EQ(writer->lastResetTime(), 0u) << "no reset yet";
    ZOV_EVDR data(nullptr, 0);
    EXPECT_EQ(writer->postEvent(&data), ZOV_RC_FAILED);
    EXPECT_EQ(writer->getEventsArea(), nullptr) << "not made for an event";
    EXPECT_EQ(writer->postEvent(nullptr), ZOV_RC_MISSING);
    EXPECT_EQ(writer->updateStatistics(nullptr, 0, 0, 0), ZOV_RC_NULL);
    ZOV_Node* first = join(*writer, "EG1", "MF1", "N1");
    ZOV_Node* second = join(*writer, "EG1", "MF1", "N2");
    ASSERT_TRUE(first && second);
    EXPECT_GT(writer->lastResetTime(), 0u);
    writer->deleteNode(second);

    auto all = makeBroker();
    all->readStatsArea(1);
    ASSERT_NE(flowOf(*all), nullptr);
    EXPECT_EQ(flowOf(*all)->nodes(), 2);
    ASSERT_NE(nodeOf(*all, "N2"), nullptr);
    EXPECT_EQ(nodeOf(*all, "N2")->isDeleted(), 1);
    EXPECT_EQ(*all->getRecordId(), *writer->getRecordId()) << "the stored broker record";
    EXPECT_EQ(all->lastResetTime(), writer->lastResetTime());

    auto live = makeBroker();
    live->readStatsArea(0);
    EXPECT_EQ(flowOf(*live)->nodes(), 1);
    EXPECT_EQ(nodeOf(*live, "N2"), nullptr);

    writer->deleteNode(first);
    auto none = makeBroker();
    none->readStatsArea(0);
    EXPECT_EQ(none->getExecutionGroupSet().entries(), 0u) << "flow and group without nodes";
    live->readStatsArea(0);
    EXPECT_NE(nodeOf(*live, "N1"), nullptr) << "a rebuild never removes a node of the tree";
}

TEST_F(BrokerTree, RebuildBringsBackANodeUndeletedElsewhereAndLeavesGroupsAsTheyAre) {
    auto first = makeBroker();
    ZOV_Node* node = join(*first, "EG1", "MF1", "N1", ZOV_NT_OTHER, 1000);
    first->deleteNode(node);
    auto second = makeBroker();
    ASSERT_NE(join(*second, "EG1", "MF1", "N1", ZOV_NT_INPUT, 2000), nullptr);

    first->readStatsArea(1);
    EXPECT_EQ(node->isDeleted(), 0);
    EXPECT_EQ(node->getNodeType(), ZOV_NT_INPUT) << "it took over the stored record";
    const ZOV_Resource_ID groupId = identity("eg-EG1", "EG1");
    EXPECT_EQ(first->findExecutionGroup(&groupId)->getProcessId(), 1000)
        << "a group in the tree is not refreshed from its record";
    auto reader = makeBroker();
    reader->readStatsArea(1);
    EXPECT_EQ(reader->findExecutionGroup(&groupId)->getProcessId(), 2000);

    second->deleteNode(nodeOf(*second, "N1"));
    first->deleteNode(node);
    first->readStatsArea(1);
    EXPECT_EQ(node->isDeleted(), 1) << "stored record deleted too: stays deleted";
}

TEST_F(BrokerTree, DeleteNodeChangesOnlyTheDeletedFlagInTheArea) {
    auto broker = makeBroker();
    ZOV_Node* node = join(*broker, "EG1", "MF1", "N1");
    join(*broker, "EG1", "MF1", "N2");
    count(*broker, node, 3);
    const unsigned char* area = broker->getStatsArea()->bytes();
    const std::vector<unsigned char> before(area, area + broker->getStatsArea()->getSize());
    broker->deleteNode(node);
    const std::vector<unsigned char> after(area, area + before.size());
    const long flag =
        static_cast<unsigned char*>(node->getInformationRecord()->getSharedPosition()) - area +
        ZOV_Record_Header::kDeletedOffset;
    std::vector<long> changed;
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i] != after[i])
            changed.push_back(static_cast<long>(i));
    EXPECT_EQ(changed, std::vector<long>{flag});
    EXPECT_EQ(after[flag], 1);
}

TEST_F(BrokerTree, MaximumResetsEveryNodeAndCountsTheMessageOnce) {
    auto broker = makeBroker();
    ZOV_Node* full = join(*broker, "EG1", "MF1", "N1");
    ZOV_Node* other = join(*broker, "EG1", "MF2", "N2");
    count(*broker, other, 3);
    const __float128 nearly = 2147483646;
    std::memcpy(static_cast<unsigned char*>(full->getNodeStatistics()->getSharedPosition()) +
                    ZOV_STIR::kMessageCountOffset,
                &nearly, sizeof nearly);
    broker->getBrokerRecord()->setResetTime(1);
    broker->putRecord(broker->getBrokerRecord());

    ZOV_STIR* record = full->getNodeStatistics();
    EXPECT_EQ(broker->updateStatistics(record, 0.0, 0.001, 10), ZOV_RC_OK);
    EXPECT_EQ(messagesOf(*broker, *full), 2147483647.0);
    EXPECT_EQ(log.countWithNumber(ZOV_MSG_MAXIMUM_REACHED), 0u);

    EXPECT_EQ(broker->updateStatistics(record, 0.0, 0.001, 10), ZOV_RC_OK);
    const auto messages = log.withNumber(ZOV_MSG_MAXIMUM_REACHED);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Maximum reached. Reset statistics.");
    EXPECT_EQ(messages[0].inserts, std::vector<std::string>{"BRK1"});
    EXPECT_EQ(messagesOf(*broker, *full), 1.0);
    EXPECT_EQ(messagesOf(*broker, *other), 0.0);
    auto reader = makeBroker();
    reader->readStatsArea(1);
    EXPECT_GT(reader->lastResetTime(), 1u);
}

// A 48-byte node record ID for a local time and random number.
ZOV_Record_ID nodeRecordId(time_t seconds, int milliseconds, int32_t random) {
    struct tm local = {};
    localtime_r(&seconds, &local);
    const int32_t fields[11] = {ZOV_RT_NODE,   local.tm_sec,   local.tm_min,  local.tm_hour,
                                local.tm_mday, local.tm_mon,   local.tm_year, local.tm_wday,
                                local.tm_yday, local.tm_isdst, milliseconds};
    ZOV_Record_ID id{};
    std::memcpy(id.bytes, fields, sizeof fields);
    std::memcpy(id.bytes + ZOV_Record_ID::kRandomOffset, &random, sizeof random);
    return id;
}

TEST_F(BrokerTree, ANewRecordDrawingATakenIdDrawsAgain) {
    auto broker = makeBroker();
    ASSERT_NE(join(*broker, "EG1", "MF1", "N1"), nullptr);
    // Another process took the ID the next node record will draw (its random
    // number in any millisecond of the next few seconds).
    srandom(4242);
    const int32_t firstDraw = static_cast<int32_t>(random());
    const int32_t secondDraw = static_cast<int32_t>(random());
    srandom(4242);
    const time_t now = time(nullptr);
    ZOV_Record_Id_Registry& registry = broker->getRecordIdRegistry();
    for (time_t s = now - 1; s <= now + 5; ++s)
        for (int ms = 0; ms < 1000; ++ms)
            registry.add(nodeRecordId(s, ms, firstDraw));
    const long redrawsBefore = registry.redraws();

    const ZOV_Resource_ID nodeId = identity("no-N2", "N2");
    ZOV_Node* node = flowOf(*broker)->insertNode(&nodeId);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(registry.redraws(), redrawsBefore + 1);
    EXPECT_EQ(node->getRecordId()->random(), secondDraw);
    EXPECT_EQ(node->getInformationRecord()->getType(), ZOV_RT_NODE);
    EXPECT_TRUE(registry.contains(*node->getRecordId())) << "the new ID is taken";
    EXPECT_EQ(*node->getNodeStatistics()->getParentId(), *node->getRecordId());

    broker->resetStatistics();
    ZOV_Record_Set stored;
    broker->getStatsArea()->read(&stored);
    std::unordered_set<ZOV_Record_ID, ZOV_Record_ID_Hash> ids;
    for (ZOV_Record* record : stored)
        ids.insert(*record->getRecordId());
    EXPECT_EQ(ids.size(), stored.entries()) << "every record ID in the area is unique";
    stored.clearAndDestroy();
}

}  // namespace
