// The events areas: templates stored once, event data appended and the data
// area starting again when full, and readers that get each new event once.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "support/area_support.h"
#include "support/ipc_support.h"
#include "zov/zovcevar.h"
#include "zov/zovcevir.h"
#include "zov/zovcshme.h"

namespace {

using zovtest::headerAt;
using zovtest::nextMillisecond;

constexpr int kEventSize = ZOV_EVDR::kSize;

class EventsAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::writeConfig("ZOVMemorySize 4096\n");
        segment = std::make_unique<ZOV_Shared_Memory>(uuid);
        segment->init();
        ASSERT_EQ(segment->getStatus(), 0);
        events = newReader();
    }
    void TearDown() override {
        readers.clear();
        segment->cleanup();
        zovtest::writeConfig(nullptr);
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
    }
    // An events area initialised now; events created before are not its.
    ZOV_Events_Area* newReader() {
        readers.push_back(std::make_unique<ZOV_Events_Area>(uuid));
        readers.back()->init(segment.get());
        EXPECT_EQ(readers.back()->status, 0);
        nextMillisecond();
        return readers.back().get();
    }
    unsigned char* dataBytes() const {
        return static_cast<unsigned char*>(events->dataArea->memoryManager.address);
    }
    // Posts one event under `parent` and returns it.
    ZOV_EVDR* post(const ZOV_Record* parent, int threadId = 7) {
        posted.push_back(zovtest::eventRecord(parent, threadId));
        EXPECT_EQ(events->postEvent(posted.back().get()), ZOV_RC_OK);
        nextMillisecond();
        return posted.back().get();
    }
    // Thread IDs of the events a reader gets now.
    std::vector<int> threadsOfNewEvents(ZOV_Events_Area* reader) {
        ZOV_Ordered_Record_Set got;
        EXPECT_EQ(reader->getEvents(&got), ZOV_RC_OK);
        std::vector<int> threads;
        for (ZOV_Record* record : got) {
            EXPECT_EQ(record->getType(), ZOV_RT_EVENT_INFORMATION);
            threads.push_back(static_cast<ZOV_EVIR*>(record)->getData().getThreadId());
        }
        got.clearAndDestroy();
        return threads;
    }
    size_t storedTemplates() {
        ZOV_Record_Set set;
        EXPECT_EQ(events->templateArea->read(&set), ZOV_RC_OK);
        const size_t n = set.entries();
        set.clearAndDestroy();
        return n;
    }

    const ZOV_String uuid{"events-uuid"};
    std::unique_ptr<ZOV_Shared_Memory> segment;
    std::vector<std::unique_ptr<ZOV_Events_Area>> readers;
    ZOV_Events_Area* events = nullptr;
    std::vector<std::unique_ptr<ZOV_EVDR>> posted;
};

TEST_F(EventsAreaTest, DataAreaOf4096BytesStartsAgainAtThe20thRecord) {
    auto templ = zovtest::templateRecord("node", "text");
    for (int i = 0; i < 19; ++i)
        post(templ.get(), i);
    EXPECT_EQ(headerAt(dataBytes()).nextOffset, 64 + 19 * kEventSize);
    ZOV_EVDR* twentieth = post(templ.get(), 19);
    EXPECT_EQ(twentieth->getSharedPosition(), dataBytes() + 64);
    const auto header = headerAt(dataBytes());
    EXPECT_EQ(header.nextOffset, 272);
    EXPECT_EQ(header.lastOffset, 4016);
}

TEST_F(EventsAreaTest, EachEventOncePerReader) {
    auto templ = zovtest::templateRecord("node", "text");
    ASSERT_EQ(events->setEventTemplate(templ.get()), templ.get());
    EXPECT_TRUE(threadsOfNewEvents(events).empty()) << "nothing right after init";

    post(templ.get(), 1);
    ZOV_Events_Area* late = newReader();
    EXPECT_EQ(threadsOfNewEvents(events), std::vector<int>{1});
    EXPECT_TRUE(threadsOfNewEvents(events).empty());
    EXPECT_TRUE(threadsOfNewEvents(late).empty()) << "posted before this reader's init";

    post(templ.get(), 2);
    post(templ.get(), 3);
    EXPECT_EQ(threadsOfNewEvents(late), (std::vector<int>{2, 3}));
    EXPECT_EQ(threadsOfNewEvents(events), (std::vector<int>{2, 3}));
    EXPECT_TRUE(threadsOfNewEvents(late).empty());
}

TEST_F(EventsAreaTest, EventsJoinTheirTemplates) {
    auto first = zovtest::templateRecord("node-a", "first text");
    auto second = zovtest::templateRecord("node-b", "second text");
    ASSERT_NE(events->setEventTemplate(first.get()), nullptr);
    ASSERT_NE(events->setEventTemplate(second.get()), nullptr);
    post(first.get(), 1);
    post(second.get(), 2);
    post(first.get(), 3);

    ZOV_Ordered_Record_Set got;
    ASSERT_EQ(events->getEvents(&got), ZOV_RC_OK);
    ASSERT_EQ(got.entries(), 3u);
    const std::vector<const ZOV_EVTR*> expected{first.get(), second.get(), first.get()};
    int i = 0;
    for (ZOV_Record* record : got) {
        auto* info = static_cast<ZOV_EVIR*>(record);
        EXPECT_TRUE(info->getTemplate() == *expected[i]) << i;
        EXPECT_TRUE(info->getData().isChildOf(expected[i])) << i;
        ++i;
    }
    got.clearAndDestroy();
}

TEST_F(EventsAreaTest, EventsWithoutAStoredTemplateAreLeftOut) {
    auto stored = zovtest::templateRecord("node", "stored");
    auto unknown = zovtest::templateRecord("node", "never stored");
    ASSERT_NE(events->setEventTemplate(stored.get()), nullptr);
    post(unknown.get(), 1);
    post(nullptr, 2);
    post(stored.get(), 3);
    EXPECT_EQ(threadsOfNewEvents(events), std::vector<int>{3});
}

// After the data area started again, events are found in both parts, each
// once; the older survivors past nextOffset are not returned again.
TEST_F(EventsAreaTest, ReaderFollowsTheDataAreaAcrossARestart) {
    auto templ = zovtest::templateRecord("node", "text");
    ASSERT_NE(events->setEventTemplate(templ.get()), nullptr);
    for (int i = 0; i < 18; ++i)
        post(templ.get(), i);
    EXPECT_EQ(threadsOfNewEvents(events).size(), 18u);
    post(templ.get(), 18);
    post(templ.get(), 19);  // starts the area again
    post(templ.get(), 20);
    EXPECT_EQ(threadsOfNewEvents(events), (std::vector<int>{19, 20, 18}));
}

TEST_F(EventsAreaTest, TemplateEqualToAStoredOneIsNotStoredAgain) {
    auto first = zovtest::templateRecord("node", "text");
    auto equal = zovtest::templateRecord("node", "text");
    auto other = zovtest::templateRecord("node", "other text");
    EXPECT_EQ(events->setEventTemplate(first.get()), first.get());
    EXPECT_EQ(storedTemplates(), 1u);

    nextMillisecond();
    ZOV_EVTR* found = events->setEventTemplate(equal.get());
    ASSERT_NE(found, nullptr);
    EXPECT_NE(found, equal.get()) << "the cached copy, not the argument";
    EXPECT_TRUE(*found == *equal);
    EXPECT_EQ(equal->getSharedPosition(), nullptr) << "nothing written";
    EXPECT_EQ(storedTemplates(), 1u);

    EXPECT_EQ(events->setEventTemplate(other.get()), other.get());
    EXPECT_EQ(storedTemplates(), 2u);
}

// Header times have millisecond resolution: a template stored in the same
// millisecond as the one before must still reach the readers' copy.
TEST_F(EventsAreaTest, TemplateStoredWithinTheSameMillisecondIsSeen) {
    auto first = zovtest::templateRecord("node-a", "first");
    auto second = zovtest::templateRecord("node-b", "second");
    auto* header = static_cast<unsigned char*>(events->templateArea->memoryManager.address);
    ASSERT_NE(events->setEventTemplate(first.get()), nullptr);
    unsigned char stamp[40];
    std::memcpy(stamp, header + 24, sizeof stamp);
    ASSERT_EQ(events->getTemplates(), ZOV_RC_OK);
    ASSERT_NE(events->setEventTemplate(second.get()), nullptr);
    zovtest::corrupt(header, 24, stamp, sizeof stamp);  // same millisecond

    post(second.get(), 2);
    EXPECT_EQ(threadsOfNewEvents(events), std::vector<int>{2});
}

// Processes registering the same templates at the same moment store each
// of them once.
TEST(EventTemplatesTest, StoredOnceAcrossProcesses) {
    zovtest::writeConfig("ZOVMemorySize 65536\n");
    const ZOV_String uuid("templates-race-uuid");
    ZOV_Shared_Memory segment(uuid);
    segment.init();
    ZOV_Events_Area parent(uuid);
    parent.init(&segment);
    ASSERT_EQ(parent.status, 0);
    auto* gate = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                     PROT_READ | PROT_WRITE,
                                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(gate, MAP_FAILED);
    constexpr int kProcesses = 4, kRounds = 10, kTemplates = 10;
    for (int round = 0; round < kRounds; ++round) {
        gate->store(0);
        std::vector<int> children;
        for (int p = 0; p < kProcesses; ++p) {
            children.push_back(zovtest::forkChild([&] {
                ZOV_Shared_Memory own(uuid);
                own.init();
                ZOV_Events_Area area(uuid);
                area.init(&own);
                std::vector<std::unique_ptr<ZOV_EVTR>> mine;
                for (int k = 0; k < kTemplates; ++k) {
                    const std::string text = std::to_string(round * kTemplates + k);
                    mine.push_back(zovtest::templateRecord("n", text.c_str()));
                }
                gate->fetch_add(1);
                while (gate->load() < kProcesses) {
                }
                int failures = 0;
                for (auto& templ : mine)
                    failures += area.setEventTemplate(templ.get()) ? 0 : 1;
                area.cleanup();
                own.cleanup();
                return failures;
            }));
        }
        for (int child : children)
            EXPECT_EQ(zovtest::waitChild(child), 0);
        ZOV_Record_Set stored;
        EXPECT_EQ(parent.templateArea->read(&stored), ZOV_RC_OK);
        EXPECT_EQ(stored.entries(), static_cast<size_t>((round + 1) * kTemplates)) << round;
        stored.clearAndDestroy();
    }
    munmap(gate, sizeof(std::atomic<int>));
    parent.cleanup();
    segment.cleanup();
    zovtest::writeConfig(nullptr);
}

TEST_F(EventsAreaTest, WrongRecordsAndUnusableAreas) {
    auto templ = zovtest::templateRecord("node", "text");
    EXPECT_EQ(events->postEvent(nullptr), ZOV_RC_NULL);
    EXPECT_EQ(events->dataArea->put(templ.get()), ZOV_RC_NULL);
    EXPECT_EQ(headerAt(dataBytes()).lastOffset, 64);

    // A foreign record in the data area is skipped by readers.
    ASSERT_NE(events->setEventTemplate(templ.get()), nullptr);
    auto node = zovtest::nodeRecord("uuid", "node");
    ASSERT_EQ(events->dataArea->ZOV_Shared_Area::put(node.get()), ZOV_RC_OK);
    post(templ.get(), 5);
    EXPECT_EQ(threadsOfNewEvents(events), std::vector<int>{5});

    standin::LogSink log;
    events->cleanup();
    EXPECT_EQ(events->status, ZOV_STATUS_FAILED);
    auto event = zovtest::eventRecord(templ.get(), 1);
    EXPECT_EQ(events->postEvent(event.get()), ZOV_RC_FAILED);
    EXPECT_EQ(events->setEventTemplate(templ.get()), nullptr);
    EXPECT_EQ(events->getTemplates(), ZOV_RC_FAILED);
    EXPECT_EQ(events->findTemplate(templ.get()), nullptr);
    events->dump();
    EXPECT_EQ(log.containing("Shared Area Unavailable").size(), 1u);
}

}  // namespace
