// Bad input that no other test covers (the table in RELIABILITY.md lists
// those that are): texts longer than an area, a broker UUID too long for a
// key file's name, a segment under the key that is not ours, and a blank one.
// Each has a defined outcome; under the sanitizers nothing may be read or
// written out of bounds.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"
#include "zov/zovcstir.h"

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

    // Every message reaches the flow downstream.
    static void sendThrough(standin::Node& node, int messages) {
        standin::MessageSpec recipe;
        auto message = standin::Message::fromSpec(recipe);
        for (int i = 0; i < messages; ++i)
            EXPECT_EQ(node.evaluate(&message).propagations, 1);
    }

    std::unique_ptr<standin::Plugin> plugin;
    standin::LogSink log;
};

// How many node records carry each label, as a reader finds them.
std::map<std::string, int> storedNodes() {
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    ZOV_Broker reader(&id);
    return zovtest::readAreaCounts(reader).records;
}

// A node label longer than the whole statistics area (4096 bytes): its
// record cannot be stored. The node passes every message on; the area stays
// readable and other nodes are stored and counted as before.
TEST_F(BadInputTest, LabelLongerThanTheStatisticsArea) {
    auto normal = node("Normal");
    auto huge = node(std::string(3000, 'L'));  // 6 kB as a 16-bit string
    sendThrough(*huge, 5);
    sendThrough(*normal, 3);
    EXPECT_EQ(storedNodes(), (std::map<std::string, int>{{"Normal", 1}}));
    const ZOV_STIR* stats = zovtest::monitorOf(*normal)->getStatisticsRecord();
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 3);
    auto late = node("Late");  // a join after the refused record still works
    sendThrough(*late, 1);
    EXPECT_EQ(storedNodes(), (std::map<std::string, int>{{"Late", 1}, {"Normal", 1}}));
}

// An event text longer than the whole templates area: the template is never
// stored, so its events are written without one and readers leave them out;
// nodes with ordinary texts keep their events.
TEST_F(BadInputTest, EventTextLongerThanAnArea) {
    auto huge = node("Huge", std::string(3000, 'E'));
    auto normal = node("Normal", "an ordinary event");
    sendThrough(*huge, 4);
    sendThrough(*normal, 2);
    const ZOV_Resource_ID id = zovtest::identity(kUuid, kBroker);
    ZOV_Broker reader(&id);
    ZOV_Ordered_Record_Set events;
    // A reader's first look sets its start; the next sees what came since.
    reader.getEvents(&events);
    events.clearAndDestroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // times are kept in ms
    sendThrough(*huge, 4);
    sendThrough(*normal, 2);
    EXPECT_EQ(reader.getEvents(&events), ZOV_RC_OK);
    EXPECT_EQ(events.entries(), 2u) << "only the events with a stored template";
    events.clearAndDestroy();
}

// A broker UUID that makes the segment's key file name longer than a file
// name may be: the node cannot attach (reported with "open") and passes its
// messages on unmeasured.
TEST_F(BadInputTest, UuidTooLongForAKeyFileName) {
    ASSERT_TRUE(standin::writeBrokerRegistry("LONGBRK", std::string(300, 'u')));
    auto unmeasured = plugin->createNode({"LONGBRK", "EG", "F", "n"});
    unmeasured->setDownstream([](const standin::Delivery&) {});
    EXPECT_EQ(zovtest::monitorOf(*unmeasured), nullptr);
    bool reported = false;
    for (const auto& message : log.withNumber(ZOV_MSG_FUNCTION_FAILED))
        reported = reported || (!message.inserts.empty() && message.inserts[0] == "open");
    EXPECT_TRUE(reported);
    sendThrough(*unmeasured, 2);
}

// A segment under the broker's key that another program made and filled: it
// is refused (reported) and left as it was, never formatted nor removed.
TEST_F(BadInputTest, ForeignSegmentUnderTheKeyIsLeftAlone) {
    const std::string keyFile = std::string("/tmp/") + kUuid + ".zovcshme";
    ASSERT_TRUE(standin::writeTextFile(keyFile, ""));
    const key_t key = ftok(keyFile.c_str(), 1);
    const size_t size = 3 * 4096 + 64;
    const int id = shmget(key, size, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    auto* foreign = static_cast<unsigned char*>(shmat(id, nullptr, 0));
    std::memset(foreign, 0xAB, size);

    ZOV_Shared_Memory segment{ZOV_String(kUuid)};
    segment.init();
    EXPECT_EQ(segment.getStatus(), ZOV_STATUS_FAILED);
    const auto failures = log.withNumber(ZOV_MSG_FUNCTION_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].text.find("not a monitoring segment"), std::string::npos)
        << failures[0].text;
    segment.cleanup();
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(foreign[i], 0xAB) << "byte " << i << " of the foreign segment changed";
    struct shmid_ds state = {};
    EXPECT_EQ(shmctl(id, IPC_STAT, &state), 0) << "the foreign segment was removed";
    EXPECT_EQ(state.shm_nattch, 1u);

    auto refused = node("Refused");
    EXPECT_EQ(zovtest::monitorOf(*refused), nullptr);
    sendThrough(*refused, 1);
    refused.reset();
    shmdt(foreign);
    shmctl(id, IPC_RMID, nullptr);
    std::remove(keyFile.c_str());
}

// A blank segment (its creator ended before writing the header) is taken
// over and formatted.
TEST_F(BadInputTest, BlankSegmentUnderTheKeyIsFormatted) {
    const std::string keyFile = std::string("/tmp/") + kUuid + ".zovcshme";
    ASSERT_TRUE(standin::writeTextFile(keyFile, ""));
    const int id = shmget(ftok(keyFile.c_str(), 1), 3 * 4096 + 64, IPC_CREAT | 0660);
    ASSERT_GE(id, 0);
    {
        auto counted = node("Counted");
        sendThrough(*counted, 2);
        EXPECT_EQ(storedNodes(), (std::map<std::string, int>{{"Counted", 1}}));
    }
    EXPECT_TRUE(zovtest::ipcObjects("shm").empty()) << "the last user removes it";
}

}  // namespace
