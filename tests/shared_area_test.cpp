// The broker's segment and its shared areas, including memory that another
// process (or a fault) left in a bad state.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "support/area_support.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "zov/core/zovcedar.h"
#include "zov/core/zovcetar.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcshme.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"

namespace {

using namespace std::chrono_literals;
using zovtest::BufferArea;
using zovtest::corruptInt;
using zovtest::headerAt;

constexpr int kStatsSize = ZOV_STIR::kSize;
constexpr int kLabelCount = 104;  // offset of a node record's label length

// Reads the area: the result and the types of the records read.
std::pair<int, std::vector<int>> readTypes(ZOV_Shared_Area& area) {
    ZOV_Ordered_Record_Set records;
    const int rc = area.read(&records);
    std::vector<int> types;
    for (ZOV_Record* record : records)
        types.push_back(record->getType());
    records.clearAndDestroy();
    return {rc, types};
}

// A 4096-byte statistics area in a real segment, and a second object of it
// (as a second broker object would have).
class SegmentAreaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        segment.init();
        ASSERT_EQ(segment.getStatus(), 0);
        area.init(&segment);
        twin.init(&segment);
        ASSERT_EQ(area.getStatus(), 0);
    }
    void TearDown() override {
        area.cleanup();
        twin.cleanup();
        segment.cleanup();
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
    }
    const unsigned char* bytes() const { return area.bytes(); }
    // True when `task` is still running after a while, i.e. it is blocked.
    static bool stillBlocked(std::future<void>& task) {
        return task.wait_for(150ms) == std::future_status::timeout;
    }

    const zovtest::Configuration configuration{"ZOVMemorySize 4096\n"};
    const ZOV_String uuid{"area-uuid"};
    ZOV_Shared_Memory segment{uuid};
    ZOV_Stats_Area area{uuid}, twin{uuid};
};

TEST_F(SegmentAreaTest, AppendWaitsForTheAreaLockRewriteDoesNot) {
    auto first = zovtest::nodeRecord("uuid-1", "node-1");
    ASSERT_EQ(area.put(first.get()), ZOV_RC_OK);
    twin.lock();  // another broker object holds the area
    auto second = zovtest::nodeRecord("uuid-2", "node-2");
    auto append = std::async(std::launch::async, [&] { area.put(second.get()); });
    EXPECT_TRUE(stillBlocked(append));
    first->setNodeType(ZOV_NT_INPUT);
    auto rewrite = std::async(std::launch::async, [&] { area.put(first.get()); });
    EXPECT_FALSE(stillBlocked(rewrite)) << "a rewrite in place must not wait";
    EXPECT_EQ(headerAt(bytes()).nextOffset, 64 + first->size());
    twin.unlock();
    append.get();
    EXPECT_EQ(second->getSharedPosition(), bytes() + 64 + first->size());
    EXPECT_EQ(headerAt(bytes()).nextOffset, 64 + first->size() + second->size());
    EXPECT_EQ(readTypes(area), std::make_pair(0, std::vector<int>(2, ZOV_RT_NODE)));
    first->setNodeType(ZOV_NT_OTHER);
    ASSERT_EQ(area.get(first.get()), ZOV_RC_OK);
    EXPECT_EQ(first->getNodeType(), ZOV_NT_INPUT) << "the rewrite was lost";
}

// Re-entrant for one object's thread; two objects of one name exclude each
// other even in one thread, whichever thread unlocks.
TEST_F(SegmentAreaTest, LockIsReentrantPerObjectAndExcludesOtherObjects) {
    area.lock();
    area.lock();
    area.unlock();
    auto other = std::async(std::launch::async, [&] {
        twin.lock();
        twin.unlock();
    });
    EXPECT_TRUE(stillBlocked(other)) << "one unlock of two must keep the area locked";
    area.unlock();
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);

    auto holder = std::async(std::launch::async, [&] {
        area.lock();
        twin.lock();
        twin.unlock();
    });
    EXPECT_TRUE(stillBlocked(holder));
    area.unlock();  // the named mutex belongs to no thread
    EXPECT_EQ(holder.wait_for(5s), std::future_status::ready);
}

class AreaTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
    void TearDown() override {
        EXPECT_EQ(zovtest::ipcObjectCount("shm"), 0) << "a segment outlived its users";
    }
    BufferArea<ZOV_Stats_Area> buffer{4096};
};

// 20 statistics records fill 4096 bytes; one ending exactly at the end fits;
// a refused append still renews the header's time.
TEST_F(AreaTest, FullAreaRefusesWhileTheHeaderTimeMoves) {
    for (int i = 0; i < 20; ++i) {
        ZOV_STIR record(1);
        ASSERT_EQ(buffer.area.put(&record), ZOV_RC_OK) << i;
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
    BufferArea<ZOV_Stats_Area> exact(64 + 2 * kStatsSize);
    ZOV_STIR a(1), b(1);
    EXPECT_EQ(exact.area.put(&a), ZOV_RC_OK);
    EXPECT_EQ(exact.area.put(&b), ZOV_RC_OK);
}

// A fresh area reads empty; null sets are refused; a size field larger than
// the area (another process's or a fault's) is never used.
TEST_F(AreaTest, FreshAreaNullSetsAndAForgedSizeField) {
    ZOV_Record_Set empty;
    EXPECT_EQ(buffer.area.read(&empty), ZOV_RC_OK);
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(buffer.area.read(nullptr), ZOV_RC_NULL);
    EXPECT_EQ(buffer.area.get(nullptr), ZOV_RC_NULL);
    corruptInt(buffer.bytes.data(), 12, 1 << 30);
    EXPECT_EQ(buffer.area.getSize(), 4096u);
}

// A record whose image changed size is not written over its stored image,
// nor over one that cannot be read.
TEST_F(AreaTest, RewriteOfAResizedRecordOrOverAnUnreadableImageIsRefused) {
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

    const size_t labelCount =
        static_cast<unsigned char*>(next->getSharedPosition()) - buffer.bytes.data() + kLabelCount;
    corruptInt(buffer.bytes.data(), labelCount, 0x7FFFFFFF);
    const auto unreadable = buffer.bytes;
    EXPECT_EQ(buffer.area.put(next.get()), ZOV_RC_NO_SPACE);
    EXPECT_EQ(buffer.bytes, unreadable);
    EXPECT_EQ(buffer.area.get(next.get()), ZOV_RC_NOT_FOUND);
}

class HostileAreaTest : public AreaTest {
  protected:
    void SetUp() override {
        AreaTest::SetUp();
        for (int i = 0; i < 3; ++i) {
            records.push_back(zovtest::nodeRecord("uuid", ("node-" + std::to_string(i)).c_str()));
            ASSERT_EQ(buffer.area.put(records.back().get()), ZOV_RC_OK);
        }
    }
    size_t offsetOf(int i) const {
        return static_cast<unsigned char*>(records[i]->getSharedPosition()) - buffer.bytes.data();
    }
    std::vector<std::unique_ptr<ZOV_NOIR>> records;
};

// Bytes no writer makes end the walk with 1, keeping the records before: a
// type out of range, a broken eyecatcher, a label count past lastOffset, past
// the area's end, or wrapping a 32-bit size.
TEST_F(HostileAreaTest, BadRecordBytesEndTheWalkWithOne) {
    const struct {
        int record, offset;
        int32_t value;
        size_t kept;
    } cases[] = {{2, 8, 0, 2},
                 {2, 8, 10, 2},
                 {2, 8, -1, 2},
                 {2, 8, 0x7FFFFFFF, 2},
                 {1, 0, 0x58524352, 1},
                 {2, kLabelCount, 40, 2},
                 {2, kLabelCount, 5000, 2},
                 {2, kLabelCount, 0x7FFFFFFF, 2},
                 {2, kLabelCount, -1, 2}};
    const auto intact = buffer.bytes;
    for (const auto& c : cases) {
        buffer.bytes = intact;
        corruptInt(buffer.bytes.data(), offsetOf(c.record) + c.offset, c.value);
        EXPECT_EQ(readTypes(buffer.area), std::make_pair(1, std::vector<int>(c.kept, ZOV_RT_NODE)))
            << c.record << "+" << c.offset;
    }
    // A broken record as the stale tail of a restarted area ends cleanly.
    corruptInt(buffer.bytes.data(), 16, static_cast<int32_t>(offsetOf(2)));
    EXPECT_EQ(readTypes(buffer.area), std::make_pair(0, std::vector<int>(2, ZOV_RT_NODE)));
}

// 1024 bytes holding 5 templates of 168 bytes, started again as when full.
class WrappedTemplatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure(nullptr);
        for (int i = 0; i < 5; ++i) {
            old.push_back(zovtest::templateRecord(("old-" + std::to_string(i)).c_str(), "text"));
            ASSERT_EQ(templates.area.put(old.back().get()), ZOV_RC_OK);
        }
        ASSERT_EQ(headerAt(templates.bytes.data()).nextOffset, 64 + 5 * 168);
    }
    // Starts the area again, places `t` and reads the area.
    std::pair<int, std::vector<int>> restartWith(const char* node, const char* text) {
        auto t = zovtest::templateRecord(node, text);
        templates.area.formatAt(templates.bytes.data());
        EXPECT_EQ(templates.area.put(t.get()), ZOV_RC_OK);
        return readTypes(templates.area);
    }
    BufferArea<ZOV_Events_Template_Area> templates{1024};
    std::vector<std::unique_ptr<ZOV_EVTR>> old;
};

// A longer new template leaves a partial older one past nextOffset: the walk
// ends there with 0; one of the same size leaves the older ones whole: read.
TEST_F(WrappedTemplatesTest, OlderTemplatesAreReadOnlyWhenWholeAtTheWalkPosition) {
    const auto full = templates.bytes;
    EXPECT_EQ(restartWith("a newer node label", "a longer message text"),
              std::make_pair(0, std::vector<int>{ZOV_RT_EVENT_TEMPLATE}));
    templates.bytes = full;
    EXPECT_EQ(restartWith("new-0", "text"),
              std::make_pair(0, std::vector<int>(5, ZOV_RT_EVENT_TEMPLATE)));
}

TEST_F(WrappedTemplatesTest, TemplateTooLargeForTheEmptyAreaIsRefused) {
    auto huge = zovtest::templateRecord("huge", std::string(600, 'x').c_str());
    const auto before = templates.bytes;
    EXPECT_EQ(templates.area.put(huge.get()), ZOV_RC_NO_SPACE);
    // Only the header's time stamp may change.
    EXPECT_EQ(std::memcmp(templates.bytes.data(), before.data(), 24), 0);
    EXPECT_TRUE(
        std::equal(templates.bytes.begin() + 64, templates.bytes.end(), before.begin() + 64));
}

shmid_ds segmentState(int id) {
    shmid_ds state{};
    EXPECT_EQ(shmctl(id, IPC_STAT, &state), 0);
    return state;
}

// Index of the attachment-table entry holding `address`, or -1.
int tableIndexOf(const void* address) {
    const ZOV_Shm_Segment_Entry* table = ZOV_Shared_Memory::segmentTable();
    const auto* end = table + kZOVSegmentTableEntries;
    const auto* found =
        std::find_if(table, end, [&](const auto& e) { return e.address == address; });
    return found == end ? -1 : static_cast<int>(found - table);
}

TEST_F(AreaTest, SegmentSizeFollowsZOVMemorySize) {
    const std::pair<const char*, unsigned> cases[] = {
        {nullptr, 98368},
        {"ZOVMemorySize 100\n", 12352},
        {"ZOVMemorySize 50000\n", 150064},
        {"ZOVMemorySize 4097\n", 3 * 4097 + 64},
        {"ZOVMemorySize -70000\n", 12352},
        {"ZOVMemorySize many\n", 12352},
        {"ZOVMemorySize=65536\n", 3 * 65536 + 64},
        // Too large for the headers' signed offsets: the largest size that fits.
        {"ZOVMemorySize 99999999999999999999\n", 0x7FFFFFFFu},
    };
    for (const auto& [config, size] : cases) {
        zovtest::configure(config);
        EXPECT_EQ(ZOV_Shared_Memory(ZOV_String("size-uuid")).memoryManager.getSize(), size)
            << (config != nullptr ? config : "no file");
    }
}

// Three 4096-byte areas in the segment's bytes; an area
// asked for again is found, the header left alone; no fourth fits; one behind
// a broken chain fails; a larger segment under the same key fails, reported.
TEST_F(SegmentAreaTest, SegmentOfThreeAreas) {
    ZOV_Stats_Area again(uuid);
    ZOV_Events_Template_Area templates(uuid);
    ZOV_Events_Data_Area data(uuid);
    templates.init(&segment);
    data.init(&segment);
    const auto* agent = static_cast<const unsigned char*>(segment.memoryManager.address);
    EXPECT_EQ(segmentState(segment.segmentId).shm_segsz, 12352u);
    std::vector<std::string> headers;  // eyecatcher, size, next offset
    for (int offset : {0, 64, 64 + 4096, 64 + 8192}) {
        const auto h = headerAt(agent + offset);
        headers.push_back(h.eyecatcher + " " + std::to_string(h.size) + " " +
                          std::to_string(h.nextOffset));
        if (offset != 0) {
            EXPECT_EQ(std::count(agent + offset + 64, agent + offset + 4096, 0), 4096 - 64);
        }
    }
    EXPECT_EQ(headers, (std::vector<std::string>{"zovcshme 12352 12352", "zovcstar 4096 64",
                                                 "zovcetar 4096 64", "zovcedar 4096 64"}));
    unsigned char before[64];
    std::memcpy(before, agent, 64);
    again.init(&segment);
    EXPECT_EQ(again.bytes(), area.bytes());
    EXPECT_EQ(std::memcmp(before, agent, 64), 0);

    ZOV_Shared_Area extra(uuid + ".extra");
    ZOV_Area_Test_Access::setEyecatcher(extra, "zovcxtra");
    extra.init(&segment);
    EXPECT_EQ(extra.getStatus(), ZOV_STATUS_FAILED);
    EXPECT_EQ(extra.put(zovtest::nodeRecord("u", "n").get()), ZOV_RC_FAILED);
    for (uint32_t size : {0u, 12u, 0x7FFFFFF0u}) {
        zovtest::corrupt(ZOV_Area_Test_Access::bytes(area), 12, &size, 4);
        ZOV_Events_Data_Area late(uuid);
        late.init(&segment);
        EXPECT_EQ(late.getStatus(), ZOV_STATUS_FAILED) << size;
    }

    standin::LogSink log;
    zovtest::configure("ZOVMemorySize 50000\n");
    ZOV_Shared_Memory large(uuid);
    large.init();
    EXPECT_EQ(large.getStatus(), ZOV_STATUS_FAILED);
    EXPECT_EQ(large.segmentId, 0);
    ASSERT_EQ(log.withNumber(2).size(), 1u);
    EXPECT_EQ(log.withNumber(2)[0].inserts.at(0), "shmget");
}

// Objects of one process share one mapping and table entry, which keeps its
// key when detached and is reused by the next attach.
TEST_F(AreaTest, SegmentObjectsOfAProcessShareOneMappingAndItsEntry) {
    ZOV_Shared_Memory first(ZOV_String("share-uuid"));
    ZOV_Shared_Memory second(ZOV_String("share-uuid"));
    first.init();
    second.init();
    ASSERT_EQ(second.getStatus(), 0);
    void* const address = first.memoryManager.address;
    EXPECT_EQ(second.memoryManager.address, address);
    const int index = tableIndexOf(address);
    ASSERT_GE(index, 0);
    const ZOV_Shm_Segment_Entry& entry = ZOV_Shared_Memory::segmentTable()[index];
    EXPECT_EQ(entry.count, 2u);
    const int id = second.segmentId;
    first.cleanup();
    EXPECT_EQ(entry.count, 1u);
    EXPECT_EQ(segmentState(id).shm_nattch, 1u);

    const int key = entry.key;
    ASSERT_EQ(second.zov_dettach(address), 0);
    EXPECT_EQ(entry.address, nullptr);
    EXPECT_EQ(entry.key, key) << "the entry keeps its key and its place";
    second.memoryManager.address = second.zov_attach(id, key);
    EXPECT_EQ(tableIndexOf(second.memoryManager.address), index);
    EXPECT_EQ(headerAt(second.memoryManager.address).eyecatcher, "zovcshme");

    second.cleanup();
    EXPECT_EQ(entry.count, 0u);
    EXPECT_FALSE(zovtest::fileExists("/tmp/share-uuid.zovcshme"));
    second.cleanup();  // a second cleanup releases nothing more
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
}

// Each segment made again has a new key file, so a new key: detached
// entries of keys that never come back must not fill the table.
TEST_F(AreaTest, SegmentsMadeAgainDoNotFillTheTable) {
    for (int i = 0; i < 2 * kZOVSegmentTableEntries; ++i) {
        ZOV_Shared_Memory segment(ZOV_String(("again-uuid-" + std::to_string(i)).c_str()));
        segment.init();
        ASSERT_EQ(segment.getStatus(), 0) << "segment " << i;
        segment.cleanup();
    }
}

}  // namespace
