// The resource tree in one process, without shared memory: identity,
// construction from an identity and from a stored record, the readers' sums
// per node-type slot, print lines, the resource set, a node's statistics
// record, and the registry that keeps new record IDs unique.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "support/tree_support.h"
#include "zov/zovcegir.h"
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

struct Sums {
    ZOV_STIR input{0}, output{0}, other{0};
    double count(const ZOV_STIR& slot) const { return asDouble(slot.getMessageCount()); }
};

TEST(ResourceConstruction, FromAnIdentityDrawsAFreshIdOfTheLevelsType) {
    const ZOV_Resource_ID id = identity("eg-1", "EG1");
    ZOV_Execution_Group a(&id);
    ZOV_Execution_Group b(&id);
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.getType(), ZOV_RT_EXECUTION_GROUP);
    EXPECT_NE(*a.getRecordId(), *b.getRecordId());
    EXPECT_NE(a.getRecordId()->created().years, 0);
}

TEST(ResourceConstruction, FromAStoredRecordTakesItsHeaderIdentityAndMember) {
    const ZOV_Resource_ID id = identity("eg-1", "EG1");
    ZOV_EGIR parentRecord(&id);
    ZOV_EGIR stored(&id);
    stored.setProcessId(222);
    stored.setParent(parentRecord.getRecordId());
    ZOV_Execution_Group group(&stored);
    ASSERT_EQ(group.status, 0);
    EXPECT_EQ(*group.getRecordId(), *stored.getRecordId());
    EXPECT_EQ(*group.getParentId(), *parentRecord.getRecordId());
    EXPECT_EQ(group.getProcessId(), 222);

    ZOV_NOIR nodeRecord(&id);
    nodeRecord.setNodeType(ZOV_NT_OUTPUT);
    nodeRecord.markDeleted();
    ZOV_Node node(&nodeRecord);
    EXPECT_EQ(node.getNodeType(), ZOV_NT_OUTPUT);
    EXPECT_EQ(node.isDeleted(), 1);
    // The statistics record names the stored ID, not one drawn on the way.
    EXPECT_EQ(*node.getNodeStatistics()->getParentId(), *nodeRecord.getRecordId());

    ZOV_Node unnamed(static_cast<const ZOV_NOIR*>(nullptr));
    EXPECT_EQ(unnamed.getType(), ZOV_RT_RESOURCE);
    EXPECT_EQ(unnamed.getNodeType(), ZOV_NT_OTHER);
    unnamed.setNodeType(ZOV_NT_INPUT);  // no node record: nothing happens
    EXPECT_EQ(unnamed.getNodeType(), ZOV_NT_OTHER);
}

TEST(ResourceStatistics, GetStatisticsAddsAndReportsMissingSlots) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_Node node(&id);
    node.setNodeType(ZOV_NT_INPUT);
    countMessages(node, 2);
    Sums sums;
    EXPECT_EQ(node.getStatistics(&sums.input, &sums.output, &sums.other), ZOV_RC_MISSING)
        << "no aggregates before initStatistics";
    node.initStatistics();
    EXPECT_EQ(node.getStatistics(&sums.input, &sums.output, &sums.other), ZOV_RC_OK);
    EXPECT_EQ(node.getStatistics(&sums.input, &sums.output, &sums.other), ZOV_RC_OK);
    EXPECT_EQ(sums.count(sums.input), 4) << "adds, does not copy";
    EXPECT_EQ(sums.count(sums.output), 0);
    EXPECT_EQ(node.getStatistics(&sums.input, nullptr, &sums.other), ZOV_RC_MISSING);
    EXPECT_EQ(sums.count(sums.input), 6) << "the other slots are still filled";
}

TEST(ResourceStatistics, SlotsFollowTheNodeTypeUpThroughTheTree) {
    const ZOV_Resource_ID groupId = identity("eg-1", "EG1");
    ZOV_Execution_Group group(&groupId);
    const ZOV_Resource_ID flowId = identity("mf-1", "MF1");
    ZOV_Message_Flow* flow = group.insertMessageFlow(&flowId);
    ASSERT_NE(flow, nullptr);

    const ZOV_Resource_ID ids[] = {identity("n-1", "In"), identity("n-2", "Out"),
                                   identity("n-3", "Gone"), identity("n-4", "Odd")};
    ZOV_Node* input = flow->insertNode(&ids[0]);
    ZOV_Node* output = flow->insertNode(&ids[1]);
    ZOV_Node* deleted = flow->insertNode(&ids[2]);
    input->setNodeType(ZOV_NT_INPUT);
    output->setNodeType(ZOV_NT_OUTPUT);
    deleted->setNodeType(ZOV_NT_OUTPUT);
    deleted->markDeleted();
    // A stored node type outside 1-3, as a corrupt or foreign record holds it.
    ZOV_NOIR oddRecord(&ids[3]);
    std::vector<unsigned char> image(oddRecord.size());
    oddRecord.put(image.data());
    const int32_t seven = 7;
    std::memcpy(image.data() + image.size() - sizeof seven, &seven, sizeof seven);
    ZOV_NOIR stored(nullptr);
    ASSERT_NE(stored.get(image.data()), nullptr);
    ZOV_Node* odd = flow->insertNode(&stored);
    ASSERT_NE(odd, nullptr);
    countMessages(*input, 1);
    countMessages(*output, 2);
    countMessages(*deleted, 4);
    countMessages(*odd, 8);

    group.initStatistics();
    Sums sums;
    EXPECT_EQ(group.getStatistics(&sums.input, &sums.output, &sums.other), ZOV_RC_OK);
    EXPECT_EQ(sums.count(sums.input), 1);
    EXPECT_EQ(sums.count(sums.output), 6) << "deleted nodes still count";
    EXPECT_EQ(sums.count(sums.other), 0) << "type 7 counts nowhere";
    group.getStatistics(&sums.input, &sums.output, &sums.other);
    EXPECT_EQ(sums.count(sums.output), 12) << "a second call adds the same sums again";
}

TEST(ResourceSet, HoldsEachObjectOnceAndFindsAnAlikeMember) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_Node_Set set;
    auto* first = new ZOV_Node(&id);
    auto* second = new ZOV_Node(&id);
    EXPECT_EQ(set.insert(first), 0);
    EXPECT_EQ(set.insert(first), 0);
    EXPECT_EQ(set.entries(), 1u);
    set.insert(second);
    ZOV_Node* found = set.findNode(&id);
    EXPECT_TRUE(found == first || found == second);
    EXPECT_EQ(set.findNode(nullptr), nullptr);
    set.removeAndDestroy(first);
    EXPECT_EQ(set.entries(), 1u);
    EXPECT_EQ(set.findNode(&id), second);
    ZOV_MQSI_Resource_Set_Iterator next(set);
    EXPECT_EQ(next(), second);
    EXPECT_EQ(next(), nullptr);
    next.reset();
    EXPECT_EQ(next(), second);
}

TEST(NodeStatistics, FindStatisticsTakesTheFirstStoredRecordOfThisNode) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_Node node(&id);
    ZOV_STIR stored(1);
    stored.setParent(node.getRecordId());
    stored.updateStatistics(0.0, 0.001, 10);
    ZOV_STIR foreign(1);
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

TEST(NodeRecords, GetRecordsGivesInformationAndStatisticsRecordOfEachNode) {
    const ZOV_Resource_ID flowId = identity("mf-1", "MF1");
    ZOV_Message_Flow flow(&flowId);
    const ZOV_Resource_ID a = identity("n-1", "N1"), b = identity("n-2", "N2");
    ZOV_Node* first = flow.insertNode(&a);
    flow.insertNode(&b);
    ZOV_Record_Set set;
    EXPECT_EQ(flow.getRecords(&set), ZOV_RC_OK);
    EXPECT_EQ(set.entries(), 5u);
    EXPECT_EQ(flow.getRecords(nullptr), ZOV_RC_NULL);
    EXPECT_EQ(first->isChildOf(&flow), 1);
    EXPECT_EQ(*first->getNodeStatistics()->getParentId(), *first->getRecordId());
}

TEST(RecordIdRegistry, ATakenIdIsDrawnAgainAndTheNewOneTaken) {
    const ZOV_Resource_ID id = identity("n-1", "N1");
    ZOV_NOIR taken(&id);
    ZOV_NOIR twin(&id);
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
