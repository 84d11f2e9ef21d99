// Bad input no other test covers (RELIABILITY.md lists those that are), each with
// a defined outcome and, under the sanitizers, nothing touched out of bounds.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"

namespace {

constexpr char kBroker[] = "BADBRK";
constexpr char kUuid[] = "bad-uuid";

class BadInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 4096\n");
        ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, kUuid));
        plugin = zovtest::loadPlugin();
    }
    void TearDown() override {
        plugin.reset();
        EXPECT_TRUE(zovtest::allIpcObjects().empty()) << "IPC objects left behind";
    }

    std::unique_ptr<standin::Node> node(const std::string& label, const std::string& event = "") {
        auto made = plugin->createNode({kBroker, "EG", "F", "n"});
        made->setDownstream([](const standin::Delivery&) {});
        if (!event.empty())
            made->setAttribute("eventMessage", event);
        made->setAttribute("label", label);
        made->setAttribute("type", "input");
        return made;
    }

    static void sendThrough(standin::Node& node, int messages) {
        auto message = standin::Message::fromSpec(standin::MessageSpec{});
        for (int i = 0; i < messages; ++i)
            EXPECT_EQ(node.evaluate(&message).propagations, 1);
    }

    std::unique_ptr<standin::Plugin> plugin;
    standin::LogSink log;
};

// A label longer than the statistics area and an event text longer than the
// templates area are never stored, nor the statistics record under the label;
// messages pass, other nodes are counted, events
// without a stored template are left out, a later join works.
TEST_F(BadInputTest, TextsLongerThanAnArea) {
    auto normal = node("Normal", "an ordinary event");
    auto longLabel = node(std::string(3000, 'L'));  // 6 kB as a 16-bit string
    auto longEvent = node("Huge", std::string(3000, 'E'));
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    ZOV_Broker reader(&id);
    ZOV_Ordered_Record_Set events;
    sendThrough(*normal, 1);
    reader.getEvents(&events);  // a reader's first look sets its start
    events.clearAndDestroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // times are kept in ms
    sendThrough(*longLabel, 4);
    sendThrough(*longEvent, 4);
    sendThrough(*normal, 2);
    const zovtest::AreaCounts stored = zovtest::readAreaCounts(reader);
    EXPECT_EQ(stored.records, (std::map<std::string, int>{{"Huge", 1}, {"Normal", 1}}));
    EXPECT_EQ(stored.messages, (std::map<std::string, double>{{"Huge", 4}, {"Normal", 3}}));
    EXPECT_EQ(reader.getEvents(&events), ZOV_RC_OK);
    EXPECT_EQ(events.entries(), 2u) << "only the events with a stored template";
    events.clearAndDestroy();
    auto late = node("Late");
    sendThrough(*late, 1);
    EXPECT_EQ(zovtest::readAreaCounts(reader).records.count("Late"), 1u);
    ZOV_Record_Set all;  // the long label's statistics record is not there alone
    ASSERT_EQ(reader.getStatsArea()->read(&all), ZOV_RC_OK);
    for (ZOV_Record* child : all) {
        EXPECT_TRUE(child->getType() == ZOV_RT_BROKER ||
                    std::any_of(all.begin(), all.end(),
                                [&](ZOV_Record* parent) { return child->isChildOf(parent) != 0; }))
            << "a record of type " << child->getType() << " without its parent";
    }
    all.clearAndDestroy();
}

// A key file name too long: the node cannot attach ("open" reported) and passes
// its messages on unmeasured.
TEST_F(BadInputTest, UuidTooLongForAKeyFileName) {
    ASSERT_TRUE(standin::writeBrokerRegistry("LONGBRK", std::string(300, 'u')));
    auto unmeasured = plugin->createNode({"LONGBRK", "EG", "F", "n"});
    unmeasured->setDownstream([](const standin::Delivery&) {});
    EXPECT_EQ(zovtest::monitorOf(*unmeasured), nullptr);
    EXPECT_FALSE(log.containing("Function open failed").empty());
    sendThrough(*unmeasured, 2);
}

// A segment under the broker's key made by another program: one holding anything
// is refused, reported and left as it is; a blank one (its creator died before the
// header) is formatted, used, and removed by its last user.
TEST_F(BadInputTest, SegmentUnderTheKeyMadeByAnotherProgram) {
    const std::string keyFile = std::string("/tmp/") + kUuid + ".zovcshme";
    const size_t size = 3 * 4096 + 64;
    for (const bool blank : {false, true}) {
        ASSERT_TRUE(standin::writeTextFile(keyFile, ""));
        const int id = shmget(ftok(keyFile.c_str(), 1), size, IPC_CREAT | 0600);
        auto* bytes = static_cast<unsigned char*>(shmat(id, nullptr, 0));
        std::memset(bytes, blank ? 0 : 0xAB, size);
        if (blank)
            shmdt(bytes);
        {
            auto n = node("N");
            sendThrough(*n, 2);
            EXPECT_EQ(zovtest::monitorOf(*n) != nullptr, blank);
        }
        EXPECT_EQ(zovtest::ipcObjects("shm").empty(), blank) << "removed by its last user";
        if (blank)
            continue;
        EXPECT_EQ(std::count(bytes, bytes + size, 0xAB), static_cast<long>(size)) << "changed";
        struct shmid_ds state = {};
        EXPECT_TRUE(shmctl(id, IPC_STAT, &state) == 0 && state.shm_nattch == 1u) << "left attached";
        EXPECT_EQ(log.withNumber(ZOV_MSG_FUNCTION_FAILED).size(), 1u);
        EXPECT_EQ(log.containing("not a monitoring segment").size(), 1u);
        shmdt(bytes);
        shmctl(id, IPC_RMID, nullptr);
    }
}

}  // namespace
