// The monitoring node, read back as the monitoring agent reads the areas:
// joins in every order and in threads, the node type and queued-time
// switches, events, a node back under a deleted identity.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"

namespace {

std::string narrow(ZOV_String text) {
    return text.getcValue();
}

struct StoredNode {
    int type = 0;
    bool deleted = false;
    double count = -1;  // -1: no statistics record
    bool operator==(const StoredNode&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const StoredNode& n) {
        return out << "type " << n.type << (n.deleted ? " deleted" : "") << " count " << n.count;
    }
};

class AreaReader {
  public:
    explicit AreaReader(const std::string& uuid)
        : id(zovtest::identity(uuid, "MONBRK")), broker(&id) {
        newEvents();  // events posted from now on are new
    }
    std::multimap<std::string, StoredNode> nodes;
    int groups = 0, flows = 0;
    void read() {
        ZOV_Record_Set records;
        EXPECT_EQ(broker.getStatsArea()->read(&records), ZOV_RC_OK);
        nodes.clear();
        groups = flows = 0;
        for (ZOV_Record* record : records) {
            groups += record->getType() == ZOV_RT_EXECUTION_GROUP ? 1 : 0;
            flows += record->getType() == ZOV_RT_MESSAGE_FLOW ? 1 : 0;
            if (auto* noir = dynamic_cast<ZOV_NOIR*>(record)) {
                StoredNode node{noir->getNodeTypeValue(), noir->isDeleted() != 0};
                for (ZOV_Record* child : records)
                    if (auto* stir = dynamic_cast<ZOV_STIR*>(child); stir && stir->isChildOf(noir))
                        node.count = zovtest::asDouble(stir->getMessageCount());
                nodes.emplace(narrow(noir->getLabel()), node);
            }
        }
        records.clearAndDestroy();
    }
    StoredNode node(const std::string& label) {
        read();
        EXPECT_EQ(nodes.count(label), 1u) << label;
        return nodes.count(label) == 1 ? nodes.find(label)->second : StoredNode{};
    }
    // "group/flow/node/type: text" of each event posted since the last call.
    std::vector<std::string> newEvents() {
        ZOV_Ordered_Record_Set records;
        broker.getEvents(&records);
        std::vector<std::string> events;
        for (ZOV_Record* record : records) {
            const ZOV_EVTR& t = static_cast<ZOV_EVIR*>(record)->getTemplate();
            events.push_back(narrow(t.getExecutionGroupLabel()) + "/" +
                             narrow(t.getMessageFlowLabel()) + "/" + narrow(t.getNodeLabel()) +
                             "/" + std::to_string(t.getNodeTypeValue()) + ": " +
                             narrow(t.getText()));
        }
        records.clearAndDestroy();
        return events;
    }

  private:
    ZOV_Resource_ID id;
    ZOV_Broker broker;
};

class MonitoringNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 65536\n");
        plugin = zovtest::loadPlugin();
        uuid =
            std::string("mon-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(standin::writeBrokerRegistry("MONBRK", uuid));
        reader = std::make_unique<AreaReader>(uuid);
    }

    std::unique_ptr<standin::Node> create(const std::string& flow = "flow") {
        auto node = plugin->createNode({"MONBRK", "group", flow, "node"});
        EXPECT_NE(zovtest::monitorOf(*node), nullptr);
        return node;
    }
    std::unique_ptr<standin::Node> joined(const std::string& label, const char* type = "input",
                                          const std::string& flow = "flow") {
        auto node = create(flow);
        node->setAttribute("label", label);
        node->setAttribute("type", type);
        return node;
    }
    static void evaluate(standin::Node& node, int messages, double putSecondsAgo = 0.0) {
        auto message = standin::Message::fromSpec(MessageSpec{}.putSecondsAgo(putSecondsAgo));
        for (int i = 0; i < messages; ++i)
            node.evaluate(&message);
    }
    using MessageSpec = standin::MessageSpec;

    standin::LogSink log;
    std::unique_ptr<standin::Plugin> plugin;
    std::string uuid;
    std::unique_ptr<AreaReader> reader;
};

TEST_F(MonitoringNodeTest, JoinsInEitherOrderOnEnumerationAndBackUnderADeletedIdentity) {
    auto labelFirst = create();
    labelFirst->setAttribute("label", "LabelFirst");
    auto typeFirst = create();
    typeFirst->setAttribute("type", "output");
    evaluate(*labelFirst, 2);  // before the join: counted nowhere
    reader->read();
    EXPECT_TRUE(reader->nodes.empty());
    labelFirst->setAttribute("type", "input");
    typeFirst->setAttribute("label", "TypeFirst");
    evaluate(*labelFirst, 3);
    EXPECT_EQ(reader->node("LabelFirst"), (StoredNode{ZOV_NT_INPUT, false, 3}));
    EXPECT_EQ(reader->node("TypeFirst"), (StoredNode{ZOV_NT_OUTPUT, false, 0}));
    EXPECT_EQ(std::pair(reader->groups, reader->flows), std::pair(1, 1));

    auto enumerated = create();
    enumerated->attributeNames();
    enumerated->setAttribute("label", "TooLate");  // changes the identity only
    enumerated->setAttribute("type", "input");
    evaluate(*enumerated, 4);
    EXPECT_EQ(reader->node("*Unknown*LumenaMonitor"), (StoredNode{ZOV_NT_OTHER, false, 4}));
    EXPECT_EQ(reader->nodes.count("TooLate"), 0u);

    auto first = joined("Again");
    evaluate(*first, 5);
    first.reset();  // marks the node deleted; its records stay
    EXPECT_EQ(reader->node("Again"), (StoredNode{ZOV_NT_INPUT, true, 5}));
    auto second = joined("Again");  // the same record, reset
    EXPECT_EQ(reader->node("Again"), (StoredNode{ZOV_NT_INPUT, false, 0}));
    evaluate(*second, 1);
    EXPECT_EQ(reader->node("Again").count, 1.0);
}

TEST_F(MonitoringNodeTest, NodeTypeAndQueuedTimeFollowTheExactTexts) {
    const std::pair<const char*, int> types[] = {
        {"input", 1}, {"output", 2}, {"Input", 3}, {"OUTPUT", 3}, {"", 3}};
    std::vector<std::unique_ptr<standin::Node>> nodes;
    for (const auto& [type, expected] : types) {
        nodes.push_back(joined(std::string("Type-") + type, type));
        EXPECT_EQ(reader->node(std::string("Type-") + type).type, expected) << type;
    }
    const std::pair<const char*, bool> collect[] = {
        {nullptr, true}, {"yes", true}, {"no", false}, {"Yes", false}, {"", false}};
    for (const auto& [value, recorded] : collect) {
        auto node = create();
        if (value != nullptr)
            node->setAttribute("collectQueueTime", value);
        node->setAttribute("label", std::string("Queue-") + (value ? value : "unset"));
        node->setAttribute("type", "input");
        evaluate(*node, 3, 20.0);
        const ZOV_STIR* stats = zovtest::monitorOf(*node)->getStatisticsRecord();
        EXPECT_EQ(stats->getMinQueued() >= 19000, recorded) << (value ? value : "unset");
        EXPECT_EQ(stats->getMaxQueued() == 0, !recorded) << (value ? value : "unset");
    }
}

TEST_F(MonitoringNodeTest, EventMessagesBeforeAndAfterTheJoin) {
    auto before = create("flowB");
    before->setAttribute("eventMessage", "seen early");
    EXPECT_EQ(zovtest::monitorOf(*before)->getEventTemplate(), nullptr);
    before->setAttribute("label", "Early");
    before->setAttribute("type", "input");
    auto after = joined("Late", "output", "flowA");
    after->setAttribute("eventMessage", "");  // changes nothing
    evaluate(*after, 1);
    EXPECT_EQ(reader->newEvents(), std::vector<std::string>{});
    after->setAttribute("eventMessage", "seen late");
    after->setAttribute("eventMessage", "");  // stays on, same text
    evaluate(*before, 2);
    evaluate(*after, 1);
    EXPECT_EQ(reader->newEvents(), (std::vector<std::string>{"group/flowB/Early/1: seen early",
                                                             "group/flowB/Early/1: seen early",
                                                             "group/flowA/Late/2: seen late"}));
    // An equal template of another node instance is the one stored before.
    auto twin = joined("Early", "input", "flowB");
    twin->setAttribute("eventMessage", "seen early");
    EXPECT_TRUE(*zovtest::monitorOf(*twin)->getEventTemplate()->getRecordId() ==
                *zovtest::monitorOf(*before)->getEventTemplate()->getRecordId());
}

TEST_F(MonitoringNodeTest, ExceptionsDownstreamBecomeExceptionEvents) {
    auto early = create();  // not joined yet: empty labels
    early->setDownstream(standin::throwing("W", "D", "T"));
    auto message = standin::Message::fromSpec(MessageSpec{});
    {
        standin::ScopedFailure failure("cciGetLastExceptionData", 8);  // three null texts
        EXPECT_TRUE(early->evaluate(&message).rethrown);
    }
    EXPECT_TRUE(early->evaluate(nullptr).rethrown);  // no bit stream at all
    auto node = joined("Fails", "output");
    node->setDownstream(standin::throwing("Compute1", "evaluating", "division by zero"));
    const standin::EvaluateResult failed = node->evaluate(&message);
    EXPECT_TRUE(failed.rethrown && failed.exception.text == "division by zero");
    EXPECT_EQ(
        reader->newEvents(),
        (std::vector<std::string>{
            "///3: Exception found in (). ", "///3: Exception found in W(D). T",
            "group/flow/Fails/2: Exception found in Compute1(evaluating). division by zero"}));
    EXPECT_EQ(reader->node("Fails").count, 1.0);
}

// A broker whose rethrow throws the object caught downstream: a
// std::bad_alloc from downstream of two chained nodes goes back as it came,
// through the library's own allocation guard, and each node records it.
TEST_F(MonitoringNodeTest, DownstreamBadAllocRethrownAsItCameThroughTwoNodes) {
    standin::setRethrowOriginal(true);
    auto first = joined("First"), second = joined("Second", "output");
    first->connectTo(*second);
    second->setDownstream([](const standin::Delivery&) { throw std::bad_alloc(); });
    auto message = standin::Message::fromSpec(MessageSpec{});
    EXPECT_THROW(first->evaluate(&message), std::bad_alloc);
    second->setDownstream([](const standin::Delivery&) { throw std::runtime_error("late"); });
    EXPECT_THROW(first->evaluate(&message), std::runtime_error);
    standin::setRethrowOriginal(false);
    EXPECT_EQ(reader->newEvents().size(), 4u);
    EXPECT_TRUE(log.containing("Allocation Error").empty());
    EXPECT_EQ(reader->node("First").count, 2.0);
}

// Six threads join the same new node at once, twenty times (processes:
// end_to_end_test): without the area lock most rounds leave two records.
TEST_F(MonitoringNodeTest, SimultaneousJoinsInThreadsLeaveOneRecordPerIdentity) {
    const ZOV_Resource_ID broker = zovtest::identity(uuid, "MONBRK");
    const ZOV_Resource_ID group = zovtest::identity("", "racing group");
    const ZOV_Resource_ID flow = zovtest::identity("", "racing flow"), node;
    for (int round = 0; round < 20; ++round) {
        const std::string name = "Threads" + std::to_string(round);
        const ZOV_String label(name.c_str()), type("input");
        std::atomic<bool> go{false};
        std::atomic<int> joined{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i) {
            threads.emplace_back([&] {
                ZOV_Monitoring_Node monitor(&broker, &group, &flow, &node);
                monitor.setNodeLabel(&label);
                while (!go)
                    std::this_thread::yield();
                monitor.setNodeType(&type);
                joined += monitor.isInitialized();
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        go = true;
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(joined.load(), 6);
        reader->read();
        EXPECT_EQ(reader->nodes.count(name), 1u) << "round " << round;
    }
    EXPECT_EQ(std::pair(reader->groups, reader->flows), std::pair(1, 1));
}

}  // namespace
