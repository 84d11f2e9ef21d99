// The events areas: readers get each new event once, whatever the writers do
// between and during their reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "broker/harness.h"
#include "support/area_support.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/core/zovcevar.h"
#include "zov/core/zovcevir.h"
#include "zov/core/zovcshme.h"

namespace {

using zovtest::headerAt;
using zovtest::nextMillisecond;
using Events = std::vector<std::string>;  // "template text/thread id"

constexpr int kEventSize = ZOV_EVDR::kSize;

// An injection point: with tracing on, each trace line goes to `onLine` on
// the thread that writes it.
class TraceHook : public standin::LogHandler {
  public:
    explicit TraceHook(std::function<void(const standin::LogRecord&)> onLine)
        : onLine(std::move(onLine)), previous(standin::setLogHandler(this)) {
        bZOVTracing = 1;
    }
    ~TraceHook() override {
        bZOVTracing = 0;
        standin::setLogHandler(previous);
    }
    void write(const standin::LogRecord& record) override { onLine(record); }
    static bool is(const standin::LogRecord& r, const char* function, const char* text) {
        return r.function == function && r.text.rfind(text, 0) == 0;
    }

  private:
    std::function<void(const standin::LogRecord&)> onLine;
    standin::LogHandler* previous;
};

class EventsAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        segment.init();
        ASSERT_EQ(segment.getStatus(), 0);
        events = newReader();
        ASSERT_EQ(events->setEventTemplate(templ.get()), templ.get());
    }
    void TearDown() override {
        readers.clear();
        segment.cleanup();
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
    }
    // Events written before its init are not its.
    ZOV_Events_Area* newReader() {
        readers.push_back(std::make_unique<ZOV_Events_Area>(uuid));
        readers.back()->init(&segment);
        EXPECT_EQ(readers.back()->status, 0);
        nextMillisecond();
        return readers.back().get();
    }
    const unsigned char* dataBytes() const { return events->dataArea->bytes(); }
    ZOV_EVDR* post(int threadId, const ZOV_Record* parent = nullptr) {
        posted.push_back(zovtest::eventRecord(parent ? parent : templ.get(), threadId));
        EXPECT_EQ(events->postEvent(posted.back().get()), ZOV_RC_OK);
        nextMillisecond();
        return posted.back().get();
    }
    void postRange(int first, int last) {
        for (int i = first; i <= last; ++i)
            post(i);
    }
    // The events new to `reader` (the first one's by default), after `texts`.
    Events newEvents(ZOV_Events_Area* reader = nullptr, Events texts = {}) {
        ZOV_Ordered_Record_Set got;
        EXPECT_EQ((reader ? reader : events)->getEvents(&got), ZOV_RC_OK);
        for (ZOV_Record* record : got) {
            const auto* info = static_cast<ZOV_EVIR*>(record);
            ZOV_String text = info->getTemplate().getText();
            texts.push_back(text.getcValue() +
                            ("/" + std::to_string(info->getData().getThreadId())));
        }
        got.clearAndDestroy();
        return texts;
    }
    static Events range(int first, int last) {
        Events texts;
        for (int i = first; i <= last; ++i)
            texts.push_back("text/" + std::to_string(i));
        return texts;
    }

    const zovtest::Configuration configuration{"ZOVMemorySize 4096\n"};
    const ZOV_String uuid{"events-uuid"};
    std::unique_ptr<ZOV_EVTR> templ = zovtest::templateRecord("node", "text");
    ZOV_Shared_Memory segment{uuid};
    std::vector<std::unique_ptr<ZOV_Events_Area>> readers;
    ZOV_Events_Area* events = nullptr;
    std::vector<std::unique_ptr<ZOV_EVDR>> posted;
};

TEST_F(EventsAreaTest, EachEventOncePerReader) {
    auto early = zovtest::eventRecord(templ.get(), 4);  // built before 1 to 3, posted after
    EXPECT_TRUE(newEvents().empty()) << "nothing right after init";
    post(1);
    ZOV_Events_Area* late = newReader();
    EXPECT_EQ(newEvents(), Events{"text/1"});
    EXPECT_TRUE(newEvents().empty());
    EXPECT_TRUE(newEvents(late).empty()) << "posted before this reader's init";

    postRange(2, 3);
    EXPECT_EQ(newEvents(late), range(2, 3));
    EXPECT_EQ(newEvents(), range(2, 3));
    EXPECT_TRUE(newEvents(late).empty());
    ASSERT_EQ(events->postEvent(early.get()), ZOV_RC_OK);
    EXPECT_EQ(newEvents(), Events{"text/4"});
    EXPECT_TRUE(newEvents().empty());
}

// 4096 bytes hold 19 events; the 20th starts the area again. Events come back
// oldest first across the start; after a whole round, the survivors, once.
TEST_F(EventsAreaTest, ReaderFollowsTheDataAreaAcrossRestarts) {
    postRange(0, 17);
    EXPECT_EQ(newEvents(), range(0, 17));
    EXPECT_EQ(post(18)->getSharedPosition(), dataBytes() + 64 + 18 * kEventSize);
    EXPECT_EQ(post(19)->getSharedPosition(), dataBytes() + 64);
    EXPECT_EQ(headerAt(dataBytes()).nextOffset, 64 + kEventSize);
    EXPECT_EQ(headerAt(dataBytes()).lastOffset, 64 + 19 * kEventSize);
    post(20);
    EXPECT_EQ(newEvents(), range(18, 20));
    postRange(21, 40);  // round the area: 21 overwrites what the reader saw last
    EXPECT_EQ(newEvents(), range(22, 40));
    EXPECT_TRUE(newEvents().empty());
}

TEST_F(EventsAreaTest, EventsJoinTheirTemplatesOrAreLeftOut) {
    auto second = zovtest::templateRecord("node-b", "second text");
    auto unknown = zovtest::templateRecord("node", "never stored");
    ASSERT_NE(events->setEventTemplate(second.get()), nullptr);
    post(1);
    post(2, second.get());
    post(3, unknown.get());
    auto orphan = zovtest::eventRecord(nullptr, 4);
    ASSERT_EQ(events->postEvent(orphan.get()), ZOV_RC_OK);
    auto foreign = zovtest::nodeRecord("uuid", "node");
    ASSERT_EQ(events->dataArea->ZOV_Shared_Area::put(foreign.get()), ZOV_RC_OK);
    post(5);
    EXPECT_EQ(newEvents(), (Events{"text/1", "second text/2", "text/5"}));
}

// A template stored and posted under (the exception path) while a reader is
// between its steps: the event still comes, with its template.
TEST_F(EventsAreaTest, TemplateStoredDuringARead) {
    auto fresh = zovtest::templateRecord("node-x", "exception");
    auto event = zovtest::eventRecord(fresh.get(), 9);
    ZOV_Events_Area* writer = newReader();
    bool fired = false;
    TraceHook hook([&](const standin::LogRecord& r) {
        if (!fired && TraceHook::is(r, "ZOV_Events_Area::getTemplates", "Exit")) {
            fired = true;
            EXPECT_EQ(writer->setEventTemplate(fresh.get()), fresh.get());
            EXPECT_EQ(writer->postEvent(event.get()), ZOV_RC_OK);
        }
    });
    const Events got = newEvents();
    ASSERT_TRUE(fired);
    EXPECT_EQ(newEvents(events, got), Events{"exception/9"});
}

// A reader meeting a restarted slot with its header rewritten and its body
// not yet must wait for the writer, not return the mix.
TEST_F(EventsAreaTest, HalfWrittenSlotIsNeverReturned) {
    postRange(0, 18);
    ASSERT_EQ(newEvents(), range(0, 18));
    ZOV_Events_Area* writer = newReader();
    auto event = zovtest::eventRecord(templ.get(), 100);
    static thread_local enum { kOther, kWriter, kReader } role = kOther;
    std::atomic<bool> writerPaused{false}, readerStarted{false};
    TraceHook hook([&](const standin::LogRecord& r) {
        if (role == kWriter && !writerPaused && TraceHook::is(r, "ZOV_Record::put", "Exit")) {
            writerPaused = true;  // header written, body not yet
            zovtest::waitUntil([&] { return readerStarted.load(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (role == kReader && (TraceHook::is(r, "ZOV_Shared_Area::lock", "Entry") ||
                                       TraceHook::is(r, "ZOV_Events_Area::getEvents", "Exit"))) {
            readerStarted = true;
        }
    });
    std::thread writing([&] {
        role = kWriter;
        EXPECT_EQ(writer->postEvent(event.get()), ZOV_RC_OK);
    });
    ASSERT_TRUE(zovtest::waitUntil([&] { return writerPaused.load(); }));
    role = kReader;
    const Events got = newEvents();
    writing.join();
    role = kOther;
    EXPECT_EQ(newEvents(events, got), Events{"text/100"});
}

// A template stored in the same millisecond as the one before still reaches
// the readers' copy.
TEST_F(EventsAreaTest, TemplateStoredWithinTheSameMillisecondIsSeen) {
    auto second = zovtest::templateRecord("node-b", "second");
    auto* header = ZOV_Area_Test_Access::bytes(*events->templateArea);
    unsigned char stamp[40];
    std::memcpy(stamp, header + 24, sizeof stamp);
    ASSERT_EQ(events->getTemplates(), ZOV_RC_OK);
    ASSERT_NE(events->setEventTemplate(second.get()), nullptr);
    zovtest::corrupt(header, 24, stamp, sizeof stamp);  // same millisecond
    post(2, second.get());
    EXPECT_EQ(newEvents(), Events{"second/2"});
}

// Two processes storing one template at once store it once: the first pauses
// after its lookup, and the second's lookup must wait for the first's store.
TEST_F(EventsAreaTest, TemplateStoredOnceAcrossProcesses) {
    auto fresh = zovtest::templateRecord("node-x", "stored once");
    zovtest::Pipe looked;
    const pid_t first = zovtest::forkChild([&] {
        ZOV_Events_Area mine(uuid);
        mine.init(&segment);
        bool paused = false;
        TraceHook hook([&](const standin::LogRecord& r) {
            if (!paused && TraceHook::is(r, "ZOV_Events_Area::findTemplate", "Exit")) {
                paused = looked.signal();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
        });
        return mine.setEventTemplate(fresh.get()) != nullptr ? 0 : 1;
    });
    ASSERT_TRUE(looked.await());
    EXPECT_NE(events->setEventTemplate(fresh.get()), nullptr);
    EXPECT_EQ(zovtest::waitChild(first), 0);
    EXPECT_EQ(headerAt(events->templateArea->bytes()).nextOffset,
              64 + templ->size() + fresh->size())
        << "stored twice";
}

// A reset rebuilds the tree while another thread reads the broker's UUID (a
// first exception creating the events area): texts threads share are never
// freed or moved, and two first exceptions at once create one events area.
TEST(BrokerTextsTest, ResetsLeaveTheTextsOtherThreadsRead) {
    zovtest::configure("ZOVMemorySize 65536\n");
    auto broker = zovtest::makeBroker();
    ASSERT_NE(zovtest::join(*broker, "group", "flow", "node"), nullptr);
    const ZOV_REIR& record = *broker->getInformationRecord();
    const unsigned short* uuid = record.getUuid().getValue();
    const unsigned short* label = record.getLabel().getValue();
    std::atomic<bool> resetting{true};
    std::thread resets([&] {
        for (int i = 0; i < 200; ++i)
            broker->resetStatistics();
        resetting = false;
    });
    int reads = 0;
    for (; resetting || reads == 0; ++reads)
        EXPECT_TRUE(broker->getUuid() == zovtest::brokerIdentity().uuid);
    resets.join();
    ZOV_Events_Area* other = nullptr;
    std::thread second([&] { other = broker->createEventsArea(); });
    ZOV_Events_Area* const area = broker->createEventsArea();
    second.join();
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area, other);
    EXPECT_EQ(area->status, 0);
    EXPECT_EQ(record.getUuid().getValue(), uuid);
    EXPECT_EQ(record.getLabel().getValue(), label);
}

TEST_F(EventsAreaTest, WrongRecordsAndUnusableAreas) {
    EXPECT_EQ(events->postEvent(nullptr), ZOV_RC_NULL);
    EXPECT_EQ(events->dataArea->put(templ.get()), ZOV_RC_NULL);
    EXPECT_EQ(headerAt(dataBytes()).lastOffset, 64);
    standin::LogSink log;
    events->cleanup();
    EXPECT_EQ(events->status, ZOV_STATUS_FAILED);
    ZOV_Ordered_Record_Set got;
    EXPECT_EQ(events->getEvents(&got), ZOV_RC_FAILED);
    EXPECT_EQ(events->postEvent(zovtest::eventRecord(templ.get(), 1).get()), ZOV_RC_FAILED);
    EXPECT_EQ(events->setEventTemplate(templ.get()), nullptr);
    EXPECT_EQ(events->getTemplates(), ZOV_RC_FAILED);
    EXPECT_EQ(events->findTemplate(templ.get()), nullptr);
    events->dump();
    EXPECT_EQ(log.containing("Shared Area Unavailable").size(), 1u);
}

// An event made in place has the general way's image but for its moment
// (times at +12 and +104, random number at +52), stamps the header with its
// own time, and starts a full area again.
TEST_F(EventsAreaTest, EventMadeInPlaceIsTheGeneralImage) {
    unsigned char md[ZOV_EVDR::kMdSize];
    for (size_t i = 0; i < sizeof md; ++i)
        md[i] = static_cast<unsigned char>(i * 7 + 1);
    ZOV_EVDR general(reinterpret_cast<const BrkMqmd*>(md), 5);
    general.setParent(templ->getRecordId());
    ASSERT_EQ(events->postEvent(&general), ZOV_RC_OK);
    nextMillisecond();
    ASSERT_EQ(events->appendEvent(md, 5, *templ->getRecordId()), ZOV_RC_OK);
    const unsigned char* fast = dataBytes() + 64 + kEventSize;
    for (auto [from, to] : {std::pair{0, 12}, {56, 104}, {108, kEventSize}})
        EXPECT_EQ(std::memcmp(dataBytes() + 64 + from, fast + from, to - from), 0) << from;
    EXPECT_EQ(std::memcmp(dataBytes() + ZOV_Memory_Manager::kLastUpdateOffset, fast + 12, 40), 0);
    EXPECT_EQ(newEvents(), Events(2, "text/5"));
    for (int i = 0; i < 18; ++i)  // the 18th starts the area again
        ASSERT_EQ(events->appendEvent(md, 6, *templ->getRecordId()), ZOV_RC_OK);
    EXPECT_EQ(headerAt(dataBytes()).nextOffset, 64 + kEventSize);
    EXPECT_EQ(newEvents(), Events(18, "text/6"));
}

}  // namespace
