// The shared area: appending under the area lock, rewriting in place, reading
// the whole area back, the re-entrant lock, and reading memory that another
// process (or a fault) left in a bad state.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "support/area_support.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/record_images.h"
#include "zov/zovcbrir.h"
#include "zov/zovcegir.h"
#include "zov/zovcetar.h"
#include "zov/zovcrcst.h"
#include "zov/zovcreir.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"
#include "zov/zovcstir.h"

namespace {

using namespace std::chrono_literals;
using zovtest::BufferArea;
using zovtest::headerAt;

constexpr int kStatsSize = ZOV_STIR::kSize;

// A statistics area of 4096 bytes inside a real segment, plus a second area
// object of the same name (as a second broker object would have).
class SegmentAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 4096\n");
        segment = std::make_unique<ZOV_Shared_Memory>(uuid);
        segment->init();
        ASSERT_EQ(segment->getStatus(), 0);
        area = std::make_unique<ZOV_Stats_Area>(uuid);
        twin = std::make_unique<ZOV_Stats_Area>(uuid);
        area->init(segment.get());
        twin->init(segment.get());
        ASSERT_EQ(area->getStatus(), 0);
        ASSERT_NE(area->areaMutex, nullptr);
    }
    void TearDown() override {
        area.reset();
        twin.reset();
        segment->cleanup();
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
    }
    unsigned char* bytes() const {
        return static_cast<unsigned char*>(area->memoryManager.address);
    }

    const ZOV_String uuid{"area-uuid"};
    std::unique_ptr<ZOV_Shared_Memory> segment;
    std::unique_ptr<ZOV_Stats_Area> area;
    std::unique_ptr<ZOV_Stats_Area> twin;
};

// True when `task` is still running after a while, i.e. it is blocked.
bool stillBlocked(std::future<void>& task) {
    return task.wait_for(150ms) == std::future_status::timeout;
}

TEST_F(SegmentAreaTest, AppendWaitsForTheAreaLockRewriteDoesNot) {
    auto first = zovtest::nodeRecord("uuid-1", "node-1");
    ASSERT_EQ(area->put(first.get()), ZOV_RC_OK);
    EXPECT_EQ(first->getSharedPosition(), bytes() + 64);
    EXPECT_EQ(headerAt(bytes()).nextOffset, 64 + first->size());

    twin->lock();  // another broker object holds the area
    auto second = zovtest::nodeRecord("uuid-2", "node-2");
    auto append = std::async(std::launch::async, [&] { area->put(second.get()); });
    EXPECT_TRUE(stillBlocked(append));

    first->setNodeType(ZOV_NT_INPUT);
    auto rewrite = std::async(std::launch::async, [&] { area->put(first.get()); });
    EXPECT_FALSE(stillBlocked(rewrite)) << "a rewrite in place must not wait";
    EXPECT_EQ(headerAt(bytes()).nextOffset, 64 + first->size());

    twin->unlock();
    append.get();
    EXPECT_EQ(second->getSharedPosition(), bytes() + 64 + first->size());
    EXPECT_EQ(headerAt(bytes()).nextOffset, 64 + first->size() + second->size());

    ZOV_Ordered_Record_Set records;
    ASSERT_EQ(area->read(&records), ZOV_RC_OK);
    ASSERT_EQ(records.entries(), 2u);
    EXPECT_EQ(static_cast<ZOV_NOIR*>(*records.begin())->getNodeType(), ZOV_NT_INPUT);
    records.clearAndDestroy();
}

TEST_F(SegmentAreaTest, LockIsReentrantPerThread) {
    area->lock();
    area->lock();
    area->unlock();
    auto other = std::async(std::launch::async, [&] {
        twin->lock();
        twin->unlock();
    });
    EXPECT_TRUE(stillBlocked(other)) << "one unlock of two must keep the area locked";
    area->unlock();
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(area->lockCount.load(), 0);
}

// Two area objects of one name exclude each other even in one thread: the
// thread that holds the first and asks for the second waits until someone
// frees the first. A second thread observes and frees it.
TEST_F(SegmentAreaTest, TwoObjectsOfOneNameExcludeEvenInOneThread) {
    auto holder = std::async(std::launch::async, [&] {
        area->lock();
        twin->lock();
        twin->unlock();
    });
    EXPECT_TRUE(stillBlocked(holder));
    area->unlock();  // the named mutex belongs to no thread
    EXPECT_EQ(holder.wait_for(5s), std::future_status::ready);
}

class AreaTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
};

// get rereads a placed record (here after another writer's update) and
// leaves a record that was never placed as it is.
TEST_F(AreaTest, GetRereadsOnlyPlacedRecords) {
    BufferArea<ZOV_Stats_Area> buffer(4096);
    ZOV_STIR mine(1), theirs(0), never(1);
    ASSERT_EQ(buffer.area.put(&mine), ZOV_RC_OK);
    theirs = mine;
    ASSERT_EQ(theirs.updateStatistics(0.5, 0.25, 100), ZOV_RC_OK);
    ASSERT_EQ(buffer.area.put(&theirs), ZOV_RC_OK);
    ASSERT_EQ(buffer.area.get(&mine), ZOV_RC_OK);
    EXPECT_EQ(mine.getMaxSize(), 100);

    ASSERT_EQ(never.updateStatistics(0.5, 0.25, 7), ZOV_RC_OK);
    EXPECT_EQ(buffer.area.get(&never), ZOV_RC_OK);
    EXPECT_EQ(never.getMaxSize(), 7);
    EXPECT_EQ(never.getSharedPosition(), nullptr);
    EXPECT_EQ(buffer.area.get(nullptr), ZOV_RC_NULL);
}

TEST_F(AreaTest, FullAreaRefusesWhileTheHeaderTimeMoves) {
    BufferArea<ZOV_Stats_Area> buffer(4096);
    std::vector<std::unique_ptr<ZOV_STIR>> records;
    for (int i = 0; i < (4096 - 64) / kStatsSize; ++i) {
        records.push_back(std::make_unique<ZOV_STIR>(1));
        ASSERT_EQ(buffer.area.put(records.back().get()), ZOV_RC_OK) << i;
    }
    const auto before = headerAt(buffer.bytes.data());
    EXPECT_EQ(before.nextOffset, 64 + 20 * kStatsSize);
    zovtest::nextMillisecond();
    ZOV_STIR refused(1);
    EXPECT_EQ(buffer.area.put(&refused), ZOV_RC_NO_SPACE);
    const auto after = headerAt(buffer.bytes.data());
    EXPECT_EQ(after.nextOffset, before.nextOffset);
    EXPECT_NE(std::memcmp(&after.lastUpdate, &before.lastUpdate, sizeof(unixtime)), 0);
    EXPECT_EQ(refused.getSharedPosition(), nullptr);
    // The last byte of the area is usable: a record ending exactly there fits.
    BufferArea<ZOV_Stats_Area> exact(64 + 2 * kStatsSize);
    ZOV_STIR a(1), b(1);
    EXPECT_EQ(exact.area.put(&a), ZOV_RC_OK);
    EXPECT_EQ(exact.area.put(&b), ZOV_RC_OK);
}

// Records of every resource kind, read back in area order into either set,
// all of them or only those created after a given time.
TEST_F(AreaTest, ReadRebuildsRecordsIntoBothKindsOfSet) {
    BufferArea<ZOV_Stats_Area> buffer(8192);
    ZOV_Record_Set empty;
    EXPECT_EQ(buffer.area.read(&empty), ZOV_RC_OK);
    EXPECT_TRUE(empty.isEmpty());
    const ZOV_String uuid("u"), label("l");
    ZOV_Resource_ID id(&uuid, &label);
    ZOV_BRIR broker(&id);
    zovtest::nextMillisecond();
    ZOV_EGIR group(&id);
    group.setParent(broker.getRecordId());
    zovtest::nextMillisecond();
    ZOV_MFIR flow(&id);
    zovtest::nextMillisecond();
    auto node = zovtest::nodeRecord("node-uuid", "node");
    zovtest::nextMillisecond();
    ZOV_STIR stats(1);
    for (ZOV_Record* record :
         std::initializer_list<ZOV_Record*>{&broker, &group, &flow, node.get(), &stats})
        ASSERT_EQ(buffer.area.put(record), ZOV_RC_OK);
    node->markDeleted();
    ASSERT_EQ(buffer.area.put(node.get()), ZOV_RC_OK);

    ZOV_Ordered_Record_Set ordered;
    EXPECT_EQ(buffer.area.read(&ordered), ZOV_RC_OK);
    EXPECT_EQ(zovtest::typesOf(ordered), (std::vector<int>{2, 3, 4, 5, 6}));
    auto it = ordered.begin();
    EXPECT_EQ((*it)->getSharedPosition(), buffer.bytes.data() + 64);
    EXPECT_EQ(zovtest::imageOf(**it), zovtest::imageOf(broker));
    EXPECT_TRUE((*++it)->isChildOf(&broker));
    EXPECT_EQ((*(it + 2))->isDeleted(), 1) << "deleted records are read like the others";
    ordered.clearAndDestroy();

    ZOV_Record_Set unordered;
    EXPECT_EQ(buffer.area.read(&unordered), ZOV_RC_OK);
    EXPECT_EQ(unordered.entries(), 5u);
    unordered.clearAndDestroy();

    // Only records created after the flow's time: the flow itself is out.
    ZOV_Ordered_Record_Set newer;
    EXPECT_EQ(buffer.area.read(&newer, flow.getRecordId()->created()), ZOV_RC_OK);
    EXPECT_EQ(zovtest::typesOf(newer), (std::vector<int>{5, 6}));
    newer.clearAndDestroy();

    EXPECT_EQ(buffer.area.read(nullptr), ZOV_RC_NULL);
}

// A variable-size record whose image changed size is not written over the
// image stored at its place: the area stays as it was.
TEST_F(AreaTest, RewriteOfAResizedRecordIsRefused) {
    BufferArea<ZOV_Stats_Area> buffer(4096);
    auto node = zovtest::nodeRecord("uuid-1", "short");
    auto next = zovtest::nodeRecord("uuid-2", "next");
    ASSERT_EQ(buffer.area.put(node.get()), ZOV_RC_OK);
    ASSERT_EQ(buffer.area.put(next.get()), ZOV_RC_OK);
    const auto before = buffer.bytes;

    for (const char* label : {"much longer label", "shrt"}) {
        const ZOV_String text(label);
        node->setLabel(&text);
        EXPECT_EQ(buffer.area.put(node.get()), ZOV_RC_NO_SPACE) << label;
        EXPECT_EQ(buffer.bytes, before) << label;
    }
    const ZOV_String same("SHORT");
    node->setLabel(&same);
    EXPECT_EQ(buffer.area.put(node.get()), ZOV_RC_OK);

    ZOV_Ordered_Record_Set records;
    EXPECT_EQ(buffer.area.read(&records), ZOV_RC_OK);
    EXPECT_EQ(records.entries(), 2u);
    records.clearAndDestroy();
}

// ------------------------------------------------------ hostile area bytes

class HostileAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        for (int i = 0; i < 3; ++i) {
            records.push_back(zovtest::nodeRecord("uuid", ("node-" + std::to_string(i)).c_str()));
            ASSERT_EQ(buffer.area.put(records.back().get()), ZOV_RC_OK);
        }
    }
    size_t offsetOf(int i) const {
        return static_cast<unsigned char*>(records[i]->getSharedPosition()) - buffer.bytes.data();
    }
    // Reads the area; returns the result and the number of records read.
    std::pair<int, size_t> readAll() {
        ZOV_Ordered_Record_Set set;
        const int rc = buffer.area.read(&set);
        const size_t n = set.entries();
        set.clearAndDestroy();
        return {rc, n};
    }

    BufferArea<ZOV_Stats_Area> buffer{4096};
    std::vector<std::unique_ptr<ZOV_NOIR>> records;
};

// Bytes of a record that no writer makes end the walk with 1, keeping the
// records before it: a type out of range, a broken eyecatcher, a label count
// reaching past lastOffset, past the area's end, or wrapping a 32-bit size.
TEST_F(HostileAreaTest, BadRecordBytesEndTheWalkWithOne) {
    const struct {
        int record, offset;
        int32_t value;
        size_t kept;
    } cases[] = {{2, 8, 0, 2},          {2, 8, 10, 2},           {2, 8, -1, 2},
                 {2, 8, 0x7FFFFFFF, 2}, {1, 0, 0x58524352, 1},   {2, 104, 40, 2},
                 {2, 104, 5000, 2},     {2, 104, 0x7FFFFFFF, 2}, {2, 104, -1, 2}};
    const auto intact = buffer.bytes;
    for (const auto& c : cases) {
        buffer.bytes = intact;
        zovtest::corruptInt(buffer.bytes.data(), offsetOf(c.record) + c.offset, c.value);
        EXPECT_EQ(readAll(), std::make_pair(1, c.kept)) << c.record << "+" << c.offset;
    }
    // A broken record as the stale tail of a restarted area ends cleanly.
    zovtest::corruptInt(buffer.bytes.data(), 16, static_cast<int32_t>(offsetOf(2)));
    EXPECT_EQ(readAll(), std::make_pair(0, size_t{2}));
}

TEST_F(HostileAreaTest, CorruptHeaderOffsetsAreClamped) {
    const int32_t end = static_cast<int32_t>(offsetOf(2) + records[2]->size());
    // lastOffset beyond the area: the walk stops at the area's end.
    zovtest::corruptInt(buffer.bytes.data(), 20, 1 << 30);
    EXPECT_EQ(readAll().second, 3u);
    // lastOffset before the first record: nothing to read.
    zovtest::corruptInt(buffer.bytes.data(), 20, -100);
    EXPECT_EQ(readAll(), std::make_pair(0, size_t{0}));
    zovtest::corruptInt(buffer.bytes.data(), 20, end);

    // nextOffset beyond the area: an append finds no room instead of writing
    // outside; a negative one appends at the start of the area.
    zovtest::corruptInt(buffer.bytes.data(), 16, 1 << 30);
    auto extra = zovtest::nodeRecord("uuid", "extra");
    EXPECT_EQ(buffer.area.put(extra.get()), ZOV_RC_NO_SPACE);
    zovtest::corruptInt(buffer.bytes.data(), 16, -5000);
    EXPECT_EQ(buffer.area.put(extra.get()), ZOV_RC_OK);
    EXPECT_EQ(extra->getSharedPosition(), buffer.bytes.data() + 64);

    // A size field larger than the area is never used.
    zovtest::corruptInt(buffer.bytes.data(), 12, 1 << 30);
    EXPECT_EQ(buffer.area.memoryManager.getSize(), 4096u);
}

TEST_F(HostileAreaTest, RewriteOverAnUnreadableImageIsRefused) {
    uint32_t count = 0x7FFFFFFF;
    zovtest::corrupt(buffer.bytes.data(), offsetOf(1) + 104, &count, 4);
    const auto before = buffer.bytes;
    EXPECT_EQ(buffer.area.put(records[1].get()), ZOV_RC_NO_SPACE);
    EXPECT_EQ(buffer.bytes, before);
    EXPECT_EQ(buffer.area.get(records[1].get()), ZOV_RC_NOT_FOUND);
}

// A template area that started again: a longer new template now covers the
// start of an older one, whose remains lie at the walk position past
// nextOffset; the walk ends there with 0 and keeps what it read.
class WrappedTemplatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        for (int i = 0; i < kOld; ++i) {
            old.push_back(zovtest::templateRecord(("old-" + std::to_string(i)).c_str(), "text"));
            ASSERT_EQ(templates.area.put(old.back().get()), ZOV_RC_OK);
        }
        ASSERT_EQ(headerAt(templates.bytes.data()).nextOffset, 64 + kOld * old[0]->size());
    }
    // Starts the area again, as it does when full, and places `t`.
    void restartWith(ZOV_EVTR* t) {
        templates.area.lock();
        templates.area.memoryManager.setNextPosition(
            templates.area.memoryManager.getFirstPosition());
        templates.area.unlock();
        ASSERT_EQ(templates.area.put(t), ZOV_RC_OK);
    }
    std::pair<int, std::vector<int>> readAll() {
        ZOV_Ordered_Record_Set set;
        const int rc = templates.area.read(&set);
        const auto types = zovtest::typesOf(set);
        set.clearAndDestroy();
        return {rc, types};
    }

    static constexpr int kOld = 5;  // 5 x 168 bytes fill 960 of 1024
    BufferArea<ZOV_Events_Template_Area> templates{1024};
    std::vector<std::unique_ptr<ZOV_EVTR>> old;
};

// A longer new template leaves a partial older one at the walk position; a
// new one of the same size leaves every older one whole there.
TEST_F(WrappedTemplatesTest, OlderTemplatesAreReadOnlyWhenWholeAtTheWalkPosition) {
    const auto full = templates.bytes;
    auto longer = zovtest::templateRecord("a newer node label", "a longer message text");
    ASSERT_GT(longer->size(), old[0]->size());
    ASSERT_LT(longer->size(), 2 * old[0]->size());
    restartWith(longer.get());
    EXPECT_EQ(readAll(), std::make_pair(0, std::vector<int>{7}));
    templates.bytes = full;
    auto same = zovtest::templateRecord("new-0", "text");
    ASSERT_EQ(same->size(), old[0]->size());
    restartWith(same.get());
    EXPECT_EQ(readAll(), std::make_pair(0, std::vector<int>(kOld, 7)));
}

TEST_F(WrappedTemplatesTest, TemplateTooLargeForTheEmptyAreaIsRefused) {
    const std::string text(600, 'x');
    auto huge = zovtest::templateRecord("huge", text.c_str());
    ASSERT_GT(huge->size(), 1024 - 64);
    const auto before = templates.bytes;
    EXPECT_EQ(templates.area.put(huge.get()), ZOV_RC_NO_SPACE);
    // Only the header's time stamp may change (every append attempt renews it).
    EXPECT_EQ(std::memcmp(templates.bytes.data(), before.data(), 24), 0);
    EXPECT_TRUE(
        std::equal(templates.bytes.begin() + 64, templates.bytes.end(), before.begin() + 64));
}

}  // namespace
