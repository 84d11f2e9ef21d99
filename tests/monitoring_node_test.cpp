// The monitoring node: joining the broker's tree in every order, the node
// type and queued-time switches, event and exception events, a node coming
// back under a deleted identity, simultaneous joins in threads and processes,
// and a broker without shared memory. What reaches the statistics area is
// checked through a reader of its own, as the monitoring agent would read it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcegir.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevir.h"
#include "zov/zovcevtr.h"
#include "zov/zovcnoir.h"
#include "zov/zovcreir.h"
#include "zov/zovcshar.h"
#include "zov/zovcstar.h"
#include "zov/zovcstir.h"

namespace {

using standin::Message;
using standin::MessageSpec;

std::string narrow(ZOV_String text) {
    const char* value = text.getcValue();
    return value != nullptr ? value : "";
}

// One node record of the area with its statistics.
struct StoredNode {
    std::string label;
    int type = 0;
    bool deleted = false;
    double count = -1;  // -1: no statistics record
};

struct AreaContents {
    std::vector<std::string> groups;
    std::vector<int> groupProcessIds;
    std::vector<std::string> flows;
    std::vector<StoredNode> nodes;
    int nodesLabelled(const std::string& label) const {
        int n = 0;
        for (const StoredNode& node : nodes)
            n += node.label == label ? 1 : 0;
        return n;
    }
    const StoredNode* node(const std::string& label) const {
        for (const StoredNode& n : nodes) {
            if (n.label == label)
                return &n;
        }
        return nullptr;
    }
};

// Reads the statistics and events areas of one broker independently of the
// nodes under test. Keeps the segment attached while it lives.
class AreaReader {
  public:
    AreaReader(const std::string& label, const std::string& uuid)
        : id(zovtest::identity(uuid, label)), broker(&id) {
        ZOV_Ordered_Record_Set none;
        broker.getEvents(&none);  // events posted from now on are new
        none.clearAndDestroy();
        settle();
    }
    bool ok() const { return broker.status == 0 && broker.getStatsArea() != nullptr; }

    AreaContents contents() {
        ZOV_Record_Set records;
        EXPECT_EQ(broker.getStatsArea()->read(&records), ZOV_RC_OK);
        AreaContents result;
        std::map<std::string, double> counts;  // by parent record ID
        auto key = [](const ZOV_Record_ID* id) {
            return std::string(reinterpret_cast<const char*>(id->bytes), ZOV_Record_ID::kSize);
        };
        for (ZOV_Record* record : records) {
            if (auto* stir = dynamic_cast<ZOV_STIR*>(record)) {
                counts[key(stir->getParentId())] = zovtest::asDouble(stir->getMessageCount());
            }
        }
        for (ZOV_Record* record : records) {
            if (auto* egir = dynamic_cast<ZOV_EGIR*>(record)) {
                result.groups.push_back(narrow(egir->getLabel()));
                result.groupProcessIds.push_back(egir->getProcessId());
            } else if (auto* noir = dynamic_cast<ZOV_NOIR*>(record)) {
                StoredNode node;
                node.label = narrow(noir->getLabel());
                node.type = noir->getNodeTypeValue();
                node.deleted = noir->isDeleted() != 0;
                auto found = counts.find(key(noir->getRecordId()));
                if (found != counts.end())
                    node.count = found->second;
                result.nodes.push_back(node);
            } else if (auto* reir = dynamic_cast<ZOV_REIR*>(record);
                       reir != nullptr && record->getType() == ZOV_RT_MESSAGE_FLOW) {
                result.flows.push_back(narrow(reir->getLabel()));
            }
        }
        records.clearAndDestroy();
        return result;
    }

    struct Event {
        std::string group, flow, node, text;
        int nodeType = 0;
        std::string putApplName;
    };
    std::vector<Event> newEvents() {
        ZOV_Ordered_Record_Set records;
        broker.getEvents(&records);
        std::vector<Event> events;
        for (ZOV_Record* record : records) {
            auto* evir = dynamic_cast<ZOV_EVIR*>(record);
            if (evir == nullptr)
                continue;
            const ZOV_EVTR& t = evir->getTemplate();
            Event e{narrow(t.getExecutionGroupLabel()),
                    narrow(t.getMessageFlowLabel()),
                    narrow(t.getNodeLabel()),
                    narrow(t.getText()),
                    t.getNodeTypeValue(),
                    std::string(evir->getData().getPutApplName(), ZOV_EVDR::kPutApplNameSize)};
            events.push_back(e);
        }
        records.clearAndDestroy();
        settle();
        return events;
    }

  private:
    // A read hands out the events created after the data area's last write
    // it saw, to the millisecond: one created in that same millisecond after
    // the read would never be handed out. The tests post only once the clock
    // has moved on.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

    ZOV_Resource_ID id;
    ZOV_Broker broker;
};

class MonitoringNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 65536\n");
        plugin = zovtest::loadPlugin();
        ASSERT_TRUE(plugin->ok());
        uuid =
            std::string("mon-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(standin::writeBrokerRegistry("MONBRK", uuid));
        reader = std::make_unique<AreaReader>("MONBRK", uuid);
        ASSERT_TRUE(reader->ok());
    }
    void TearDown() override { reader.reset(); }

    std::unique_ptr<standin::Node> create(const std::string& flow = "flow") {
        auto node = plugin->createNode({"MONBRK", "group", flow, "node"});
        EXPECT_NE(zovtest::monitorOf(*node), nullptr);
        node->setDownstream([](const standin::Delivery&) {});
        return node;
    }
    void evaluate(standin::Node& node, int messages, double putSecondsAgo = 0.0) {
        MessageSpec spec;
        spec.putSecondsAgo(putSecondsAgo);
        auto message = Message::fromSpec(spec);
        for (int i = 0; i < messages; ++i)
            node.evaluate(&message);
    }

    standin::LogSink log;
    std::unique_ptr<standin::Plugin> plugin;
    std::string uuid;
    std::unique_ptr<AreaReader> reader;
};

// ---------------------------------------------------------------------------
// Joining.

TEST_F(MonitoringNodeTest, JoinsWhenLabelAndTypeAreKnownInEitherOrder) {
    auto labelFirst = create();
    labelFirst->setAttribute("label", "LabelFirst");
    EXPECT_EQ(zovtest::monitorOf(*labelFirst)->isInitialized(), 0);
    EXPECT_TRUE(reader->contents().nodes.empty());
    labelFirst->setAttribute("type", "input");
    EXPECT_EQ(zovtest::monitorOf(*labelFirst)->isInitialized(), 1);

    auto typeFirst = create();
    typeFirst->setAttribute("type", "output");
    EXPECT_EQ(zovtest::monitorOf(*typeFirst)->isInitialized(), 0);
    typeFirst->setAttribute("label", "TypeFirst");
    EXPECT_EQ(zovtest::monitorOf(*typeFirst)->isInitialized(), 1);

    const AreaContents area = reader->contents();
    EXPECT_EQ(area.groups, std::vector<std::string>{"group"});
    EXPECT_EQ(area.groupProcessIds, std::vector<int>{getpid()});
    EXPECT_EQ(area.flows, std::vector<std::string>{"flow"});
    ASSERT_EQ(area.nodes.size(), 2u);
    ASSERT_NE(area.node("LabelFirst"), nullptr);
    EXPECT_EQ(area.node("LabelFirst")->type, ZOV_NT_INPUT);
    EXPECT_EQ(area.node("LabelFirst")->count, 0.0);
    ASSERT_NE(area.node("TypeFirst"), nullptr);
    EXPECT_EQ(area.node("TypeFirst")->type, ZOV_NT_OUTPUT);

    evaluate(*labelFirst, 3);
    evaluate(*typeFirst, 2);
    EXPECT_EQ(reader->contents().node("LabelFirst")->count, 3.0);
    EXPECT_EQ(reader->contents().node("TypeFirst")->count, 2.0);
}

TEST_F(MonitoringNodeTest, EnumerationFirstJoinsUnderThePlaceholderLabel) {
    auto node = create();
    evaluate(*node, 2);  // before the join: counted nowhere
    EXPECT_TRUE(reader->contents().nodes.empty());

    EXPECT_EQ(node->attributeNames().size(), 3u);
    ZOV_Monitoring_Node* monitor = zovtest::monitorOf(*node);
    EXPECT_EQ(monitor->isInitialized(), 1);
    node->setAttribute("label", "TooLate");
    node->setAttribute("type", "input");
    EXPECT_TRUE(monitor->getNodeId().getLabel() == "TooLate");

    evaluate(*node, 4);
    const AreaContents area = reader->contents();
    ASSERT_EQ(area.nodes.size(), 1u);
    EXPECT_EQ(area.nodes[0].label, "*Unknown*LumenaMonitor");
    EXPECT_EQ(area.nodes[0].type, ZOV_NT_OTHER);  // joined before the type came
    EXPECT_EQ(area.nodes[0].count, 4.0);
}

TEST_F(MonitoringNodeTest, NodeTypeComesFromTheExactTypeText) {
    const std::pair<const char*, int> cases[] = {{"input", 1},  {"output", 2}, {"Input", 3},
                                                 {"OUTPUT", 3}, {"other", 3},  {"", 3}};
    std::vector<std::unique_ptr<standin::Node>> nodes;
    for (const auto& [type, expected] : cases) {
        nodes.push_back(create());
        nodes.back()->setAttribute("label", std::string("Type-") + type);
        nodes.back()->setAttribute("type", type);
        EXPECT_EQ(zovtest::monitorOf(*nodes.back())->getNodeType(), expected) << type;
    }
    const AreaContents area = reader->contents();
    for (const auto& [type, expected] : cases) {
        const StoredNode* stored = area.node(std::string("Type-") + type);
        ASSERT_NE(stored, nullptr) << type;
        EXPECT_EQ(stored->type, expected) << type;
    }
}

TEST_F(MonitoringNodeTest, QueuedTimeIsRecordedOnlyForExactlyYes) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, true}, {"yes", true}, {"no", false}, {"Yes", false}, {"", false}};
    int index = 0;
    for (const auto& [value, recorded] : cases) {
        auto node = create();
        if (value != nullptr)
            node->setAttribute("collectQueueTime", value);
        node->setAttribute("label", "Queue" + std::to_string(index++));
        node->setAttribute("type", "input");
        evaluate(*node, 3, 20.0);
        const ZOV_STIR* stats = zovtest::monitorOf(*node)->getStatisticsRecord();
        ASSERT_NE(stats, nullptr);
        const char* shown = value != nullptr ? value : "(never set)";
        if (recorded) {
            EXPECT_GE(stats->getMinQueued(), 19000) << shown;
        } else {
            EXPECT_EQ(stats->getMaxQueued(), 0) << shown;
            EXPECT_EQ(zovtest::asDouble(stats->getSumQueued()), 0.0) << shown;
        }
        EXPECT_EQ(zovtest::asDouble(stats->getMessageCount()), 3.0) << shown;
    }
}

TEST_F(MonitoringNodeTest, NodeJoiningAgainUnderADeletedIdentityComesBackReset) {
    auto first = create();
    first->setAttribute("label", "Again");
    first->setAttribute("type", "input");
    evaluate(*first, 5);
    first.reset();  // marks the node deleted; its records stay
    AreaContents area = reader->contents();
    ASSERT_EQ(area.nodesLabelled("Again"), 1);
    EXPECT_TRUE(area.node("Again")->deleted);
    EXPECT_EQ(area.node("Again")->count, 5.0);

    auto second = create();
    second->setAttribute("label", "Again");
    second->setAttribute("type", "input");
    area = reader->contents();
    ASSERT_EQ(area.nodesLabelled("Again"), 1);  // the same record, not a new one
    EXPECT_FALSE(area.node("Again")->deleted);
    EXPECT_EQ(area.node("Again")->count, 0.0);
    evaluate(*second, 1);
    EXPECT_EQ(reader->contents().node("Again")->count, 1.0);
}

// ---------------------------------------------------------------------------
// Events.

TEST_F(MonitoringNodeTest, EventMessageBeforeAndAfterTheJoin) {
    auto before = create("flowB");
    before->setAttribute("eventMessage", "seen early");
    EXPECT_EQ(zovtest::monitorOf(*before)->getEventTemplate(), nullptr);
    before->setAttribute("label", "Early");
    before->setAttribute("type", "input");
    EXPECT_NE(zovtest::monitorOf(*before)->getEventTemplate(), nullptr);

    auto after = create("flowA");
    after->setAttribute("label", "Late");
    after->setAttribute("type", "output");
    EXPECT_EQ(zovtest::monitorOf(*after)->getEventTemplate(), nullptr);
    after->setAttribute("eventMessage", "seen late");
    EXPECT_NE(zovtest::monitorOf(*after)->getEventTemplate(), nullptr);

    evaluate(*before, 2);
    evaluate(*after, 1);
    const auto events = reader->newEvents();
    ASSERT_EQ(events.size(), 3u);
    int early = 0;
    for (const auto& e : events) {
        EXPECT_EQ(e.group, "group");
        if (e.node == "Early") {
            ++early;
            EXPECT_EQ(e.text, "seen early");
            EXPECT_EQ(e.flow, "flowB");
            EXPECT_EQ(e.nodeType, ZOV_NT_INPUT);
        } else {
            EXPECT_EQ(e.node, "Late");
            EXPECT_EQ(e.text, "seen late");
            EXPECT_EQ(e.nodeType, ZOV_NT_OUTPUT);
        }
        EXPECT_EQ(e.putApplName.substr(0, 10), "brokerhost");
    }
    EXPECT_EQ(early, 2);
}

TEST_F(MonitoringNodeTest, EmptyEventMessageChangesNothing) {
    auto node = create();
    node->setAttribute("label", "Quiet");
    node->setAttribute("type", "input");
    node->setAttribute("eventMessage", "");
    evaluate(*node, 2);
    EXPECT_TRUE(reader->newEvents().empty());

    node->setAttribute("eventMessage", "on now");
    node->setAttribute("eventMessage", "");  // stays on, with the same text
    evaluate(*node, 1);
    const auto events = reader->newEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "on now");
}

TEST_F(MonitoringNodeTest, TwoNodesWithEqualTemplatesShareOneStoredTemplate) {
    auto a = create();
    auto b = create();
    for (auto* node : {a.get(), b.get()}) {
        node->setAttribute("label", "Twin");
        node->setAttribute("type", "input");
        node->setAttribute("eventMessage", "same");
    }
    const ZOV_EVTR* ta = zovtest::monitorOf(*a)->getEventTemplate();
    const ZOV_EVTR* tb = zovtest::monitorOf(*b)->getEventTemplate();
    ASSERT_NE(ta, nullptr);
    ASSERT_NE(tb, nullptr);
    EXPECT_TRUE(*ta->getRecordId() == *tb->getRecordId());
}

TEST_F(MonitoringNodeTest, ExceptionDownstreamBecomesAnExceptionEvent) {
    auto node = create();
    node->setAttribute("label", "Fails");
    node->setAttribute("type", "output");
    node->setDownstream(standin::throwing("Compute1", "evaluating", "division by zero"));
    auto message = Message::fromSpec(MessageSpec{});
    EXPECT_TRUE(node->evaluate(&message).rethrown);
    EXPECT_TRUE(node->evaluate(&message).rethrown);

    const auto events = reader->newEvents();
    ASSERT_EQ(events.size(), 2u);  // event messages are off: only exceptions
    EXPECT_EQ(events[0].text, "Exception found in Compute1(evaluating). division by zero");
    EXPECT_EQ(events[0].node, "Fails");
    EXPECT_EQ(events[0].flow, "flow");
    EXPECT_EQ(events[0].nodeType, ZOV_NT_OUTPUT);
    EXPECT_EQ(reader->contents().node("Fails")->count, 2.0);
}

TEST_F(MonitoringNodeTest, ExceptionWithNullTextsAndBeforeTheJoin) {
    auto node = create();
    node->setDownstream(standin::throwing("W", "D", "T"));
    auto message = Message::fromSpec(MessageSpec{});
    {
        // The broker leaves the record as given: all three texts null.
        standin::ScopedFailure failure("cciGetLastExceptionData", 8);
        EXPECT_TRUE(node->evaluate(&message).rethrown);
    }
    EXPECT_TRUE(node->evaluate(nullptr).rethrown);  // no bit stream at all
    const auto events = reader->newEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, "Exception found in (). ");
    EXPECT_EQ(events[1].text, "Exception found in W(D). T");
    for (const auto& e : events) {  // not joined yet: empty labels
        EXPECT_EQ(e.group, "");
        EXPECT_EQ(e.flow, "");
        EXPECT_EQ(e.node, "");
        EXPECT_EQ(e.nodeType, ZOV_NT_OTHER);
    }
    EXPECT_EQ(zovtest::monitorOf(*node)->isInitialized(), 0);
}

// ---------------------------------------------------------------------------
// Failures.

TEST_F(MonitoringNodeTest, BrokerWithoutSharedMemoryFailsTheNode) {
    const ZOV_Resource_ID broker = zovtest::identity("no/such/dir", "NOSHM");
    const ZOV_Resource_ID group = zovtest::identity("", "group");
    const ZOV_Resource_ID flow = zovtest::identity("", "flow");
    const ZOV_Resource_ID node = zovtest::identity("", "");
    ZOV_Monitoring_Node failed(&broker, &group, &flow, &node);
    EXPECT_EQ(failed.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(failed.getBroker(), nullptr);
    // Every operation is harmless on a failed node.
    const ZOV_String text("x");
    failed.setNodeLabel(&text);
    failed.setNodeType(&text);
    failed.initializeNode();
    EXPECT_EQ(failed.isInitialized(), 0);
    failed.updateStatistics(1.0, 1.0, 10);
    BrkMqmd descriptor{};
    failed.postEvent(&descriptor, nullptr);
    failed.postException(&descriptor);

    ZOV_Monitoring_Node nullIdentity(&broker, nullptr, &flow, &node);
    EXPECT_EQ(nullIdentity.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(log.countWithNumber(1), 0u);
}

// ---------------------------------------------------------------------------
// Simultaneous joins of one new resource leave one record per identity.

// Joins a node of the given identity once every participant is ready.
int joinWhenReleased(const std::string& uuid, const std::string& label, const std::atomic<bool>* go,
                     const std::string& goFile) {
    const ZOV_Resource_ID broker = zovtest::identity(uuid, "MONBRK");
    const ZOV_Resource_ID group = zovtest::identity("", "racing group");
    const ZOV_Resource_ID flow = zovtest::identity("", "racing flow");
    const ZOV_Resource_ID node = zovtest::identity("", "");
    ZOV_Monitoring_Node monitor(&broker, &group, &flow, &node);
    if (monitor.status != 0)
        return 1;
    const ZOV_String labelText(label.c_str()), type("input");
    monitor.setNodeLabel(&labelText);
    if (go != nullptr) {
        while (!go->load())
            std::this_thread::yield();
    } else {
        while (!zovtest::fileExists(goFile))
            std::this_thread::yield();
    }
    monitor.setNodeType(&type);
    monitor.updateStatistics(0.0, 0.001, 100);
    return monitor.isInitialized() ? 0 : 2;
}

TEST_F(MonitoringNodeTest, SimultaneousJoinsInThreadsLeaveOneRecordEach) {
    for (int round = 0; round < 20; ++round) {
        const std::string label = "ThreadRace" + std::to_string(round);
        std::atomic<bool> go{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i) {
            threads.emplace_back([&] {
                if (joinWhenReleased(uuid, label, &go, "") != 0)
                    ++failures;
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        go = true;
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(failures.load(), 0);
        const AreaContents area = reader->contents();
        EXPECT_EQ(area.groups.size(), 1u) << "round " << round;
        EXPECT_EQ(area.flows.size(), 1u) << "round " << round;
        EXPECT_EQ(area.nodesLabelled(label), 1) << "round " << round;
    }
}

TEST_F(MonitoringNodeTest, SimultaneousJoinsInProcessesLeaveOneRecordEach) {
    for (int round = 0; round < 6; ++round) {
        const std::string label = "ProcessRace" + std::to_string(round);
        const std::string goFile = "/tmp/go-" + label;
        std::vector<int> children;
        for (int i = 0; i < 4; ++i) {
            children.push_back(
                zovtest::forkChild([&] { return joinWhenReleased(uuid, label, nullptr, goFile); }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(standin::writeTextFile(goFile, "go\n"));
        for (int pid : children)
            EXPECT_EQ(zovtest::waitChild(pid), 0);
        const AreaContents area = reader->contents();
        EXPECT_EQ(area.groups.size(), 1u) << "round " << round;
        EXPECT_EQ(area.flows.size(), 1u) << "round " << round;
        EXPECT_EQ(area.nodesLabelled(label), 1) << "round " << round;
    }
}

}  // namespace
