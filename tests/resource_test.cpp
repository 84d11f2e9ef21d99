// The resource tree in one process, without shared memory: construction from
// an identity, the readers' sums per node-type slot, the resource set, a
// node's statistics record, and the registry that keeps new record IDs unique.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/tree_support.h"
#include "zov/zovcexgr.h"
#include "zov/zovcmefl.h"
#include "zov/zovcnoir.h"
#include "zov/zovcrcst.h"
#include "zov/zovcstir.h"

namespace {

using zovtest::asDouble;
using zovtest::identity;

void countMessages(ZOV_Node& node, int messages) {
    for (int i = 0; i < messages; ++i)
        ASSERT_EQ(node.getNodeStatistics()->updateStatistics(0.0, 0.001, 100), ZOV_RC_OK);
}

TEST(ResourceConstruction, FromAnIdentityOrNone) {
    const ZOV_Resource_ID id = identity("eg-1", "EG1");
    ZOV_Execution_Group a(&id), b(&id);
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.getType(), ZOV_RT_EXECUTION_GROUP);
    EXPECT_NE(*a.getRecordId(), *b.getRecordId()) << "each draws a fresh ID";
    ZOV_Node unnamed(static_cast<const ZOV_NOIR*>(nullptr));
    unnamed.setNodeType(ZOV_NT_INPUT);  // no node record: nothing happens
    EXPECT_EQ(unnamed.getType(), ZOV_RT_RESOURCE);
    EXPECT_EQ(unnamed.getNodeType(), ZOV_NT_OTHER);
}

// Inputs, outputs and others of a group with one of each, a deleted output
// and a stored node type outside 1-3 (a corrupt or foreign record).
TEST(ResourceStatistics, SlotsFollowTheNodeTypeUpThroughTheTree) {
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
    ZOV_MQSI_Resource_Set_Iterator next(set);
    EXPECT_EQ(next(), second);
    EXPECT_EQ(next(), nullptr);
    next.reset();
    EXPECT_EQ(next(), second);
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

TEST(RecordIdRegistry, ATakenIdIsDrawnAgainAndTheNewOneTaken) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_NOIR taken(&id), twin(&id);
    twin = taken;  // same record ID, as two processes started together draw
    ZOV_Record_Id_Registry registry;
    registry.add(*taken.getRecordId());
    EXPECT_GE(registry.makeUnique(&twin), 1);
    EXPECT_NE(*twin.getRecordId(), *taken.getRecordId());
    EXPECT_EQ(twin.getType(), ZOV_RT_NODE);
    EXPECT_TRUE(registry.contains(*twin.getRecordId()));
    EXPECT_EQ(registry.makeUnique(&taken), 1) << "its own ID is taken by now";
}

}  // namespace
