// The broker's segment: its size from the configuration, its layout as the
// monitoring agent sees it, and the per-process attachment table.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "broker/harness.h"
#include "support/area_support.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "zov/zovcedar.h"
#include "zov/zovcetar.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"

namespace {

using zovtest::headerAt;

class SharedMemoryTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
    void TearDown() override {
        zovtest::configure(nullptr);
        EXPECT_EQ(zovtest::ipcObjectCount("shm"), 0) << "a segment outlived its users";
    }
};

shmid_ds segmentState(int id) {
    shmid_ds state{};
    EXPECT_EQ(shmctl(id, IPC_STAT, &state), 0);
    return state;
}

// Index of the attachment-table entry holding `address`, or -1.
int tableIndexOf(const void* address) {
    const ZOV_Shm_Segment_Entry* table = ZOV_Shared_Memory::segmentTable();
    for (int i = 0; i < kZOVSegmentTableEntries; ++i) {
        if (table[i].address == address)
            return i;
    }
    return -1;
}

TEST_F(SharedMemoryTest, SizeFollowsZOVMemorySize) {
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

// A segment of three 4096-byte areas: its layout read through an outside
// agent's own attachment; asking again for an area finds it and leaves the
// header alone; no fourth area fits; an area behind a broken chain fails; a
// larger segment under the same key fails, reported.
TEST_F(SharedMemoryTest, SegmentOfThreeAreas) {
    zovtest::configure("ZOVMemorySize 4096\n");
    const ZOV_String uuid("layout-uuid");
    ZOV_Shared_Memory segment(uuid);
    segment.init();
    ASSERT_EQ(segment.getStatus(), 0);
    ZOV_Stats_Area stats(uuid), again(uuid);
    ZOV_Events_Template_Area templates(uuid);
    ZOV_Events_Data_Area data(uuid);
    for (ZOV_Shared_Area* area : std::initializer_list<ZOV_Shared_Area*>{&stats, &templates, &data})
        area->init(&segment);

    const int id = shmget(ftok("/tmp/layout-uuid.zovcshme", 1), 0, 0);
    ASSERT_GE(id, 0);
    const auto* agent = static_cast<const unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(agent, reinterpret_cast<const unsigned char*>(-1));
    EXPECT_EQ(segmentState(id).shm_segsz, 12352u);
    using Header = std::tuple<std::string, uint32_t, int32_t>;  // eyecatcher, size, next
    std::vector<Header> headers;
    for (int offset : {0, 64, 64 + 4096, 64 + 8192}) {
        const auto header = headerAt(agent + offset);
        headers.emplace_back(header.eyecatcher, header.size, header.nextOffset);
        if (offset != 0) {
            EXPECT_EQ(std::count(agent + offset + 64, agent + offset + 4096, 0), 4096 - 64);
        }
    }
    EXPECT_EQ(headers, (std::vector<Header>{{"zovcshme", 12352, 12352},
                                            {"zovcstar", 4096, 64},
                                            {"zovcetar", 4096, 64},
                                            {"zovcedar", 4096, 64}}));
    unsigned char before[64];
    std::memcpy(before, agent, 64);
    again.init(&segment);
    EXPECT_EQ(again.memoryManager.address, stats.memoryManager.address);
    EXPECT_EQ(std::memcmp(before, agent, 64), 0);
    shmdt(agent);

    ZOV_Shared_Area extra(uuid + ".extra");
    extra.memoryManager.setEyecatcher("zovcxtra");
    extra.init(&segment);
    EXPECT_EQ(extra.getStatus(), ZOV_STATUS_FAILED);
    EXPECT_EQ(extra.put(zovtest::nodeRecord("u", "n").get()), ZOV_RC_FAILED);
    for (uint32_t size : {0u, 12u, 0x7FFFFFF0u}) {
        zovtest::corrupt(stats.memoryManager.address, 12, &size, 4);
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
    for (ZOV_Shared_Area* area :
         std::initializer_list<ZOV_Shared_Area*>{&stats, &templates, &data, &again, &extra})
        area->cleanup();
    segment.cleanup();
}

// Two objects of one process share one mapping and one table entry; the
// entry keeps its key when detached and is reused by the next attach.
TEST_F(SharedMemoryTest, ObjectsOfAProcessShareOneMappingAndItsEntry) {
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
TEST_F(SharedMemoryTest, SegmentsMadeAgainDoNotFillTheTable) {
    for (int i = 0; i < 2 * kZOVSegmentTableEntries; ++i) {
        ZOV_Shared_Memory segment(ZOV_String(("again-uuid-" + std::to_string(i)).c_str()));
        segment.init();
        ASSERT_EQ(segment.getStatus(), 0) << "segment " << i;
        segment.cleanup();
    }
}

}  // namespace
