// The broker's segment: its size from the configuration, its layout as the
// monitoring agent sees it, and the per-process attachment table.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

unsigned int segmentSizeFor(const char* config) {
    zovtest::configure(config);
    ZOV_Shared_Memory segment(ZOV_String("size-uuid"));
    return segment.memoryManager.getSize();
}

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
    EXPECT_EQ(segmentSizeFor(nullptr), 98368u);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize 100\n"), 12352u);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize 50000\n"), 150064u);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize 4097\n"), 3u * 4097 + 64);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize -70000\n"), 12352u);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize many\n"), 12352u);
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize=65536\n"), 3u * 65536 + 64);
    // Too large for the headers' signed offsets: the largest size that fits.
    EXPECT_EQ(segmentSizeFor("ZOVMemorySize 99999999999999999999\n"),
              ZOV_SegmentSize(kZOVMaximumAreaSize));
    EXPECT_LE(static_cast<unsigned long long>(ZOV_SegmentSize(kZOVMaximumAreaSize)), 0x7FFFFFFFull);
}

// The layout an outside agent relies on, read through its own attachment.
TEST_F(SharedMemoryTest, LayoutAsAnOutsideAgentSeesIt) {
    zovtest::configure("ZOVMemorySize 4096\n");
    const ZOV_String uuid("layout-uuid");
    ZOV_Shared_Memory segment(uuid);
    segment.init();
    ASSERT_EQ(segment.getStatus(), 0);
    ZOV_Stats_Area stats(uuid);
    ZOV_Events_Template_Area templates(uuid);
    ZOV_Events_Data_Area data(uuid);
    stats.init(&segment);
    templates.init(&segment);
    data.init(&segment);

    const key_t key = ftok("/tmp/layout-uuid.zovcshme", 1);
    const int id = shmget(key, 0, 0);
    ASSERT_GE(id, 0);
    const auto* agent = static_cast<const unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(agent, reinterpret_cast<const unsigned char*>(-1));

    EXPECT_EQ(segmentState(id).shm_segsz, 12352u);
    const auto header = headerAt(agent);
    EXPECT_EQ(header.eyecatcher, "zovcshme");
    EXPECT_EQ(header.size, 12352u);
    EXPECT_EQ(header.nextOffset, 12352);
    const char* names[] = {"zovcstar", "zovcetar", "zovcedar"};
    for (int i = 0; i < 3; ++i) {
        const auto area = headerAt(agent + 64 + i * 4096);
        EXPECT_EQ(area.eyecatcher, names[i]);
        EXPECT_EQ(area.size, 4096u);
        EXPECT_EQ(area.nextOffset, 64);
        for (int b = 64; b < 4096; ++b)
            ASSERT_EQ(agent[64 + i * 4096 + b], 0) << names[i] << b;
    }
    // Asking again for an existing area finds it and leaves the header alone.
    unsigned char before[64];
    std::memcpy(before, agent, 64);
    ZOV_Stats_Area again(uuid);
    again.init(&segment);
    EXPECT_EQ(again.memoryManager.address, stats.memoryManager.address);
    EXPECT_EQ(std::memcmp(before, agent, 64), 0);
    shmdt(agent);
    for (ZOV_Shared_Area* area :
         std::initializer_list<ZOV_Shared_Area*>{&stats, &templates, &data, &again})
        area->cleanup();
    segment.cleanup();
}

// allocate never carves beyond the segment's end, nor over an area whose
// chain is broken.
TEST_F(SharedMemoryTest, AllocateStaysInsideTheSegment) {
    zovtest::configure("ZOVMemorySize 4096\n");
    const ZOV_String uuid("carve-uuid");
    ZOV_Shared_Memory segment(uuid);
    segment.init();
    ZOV_Stats_Area stats(uuid);
    ZOV_Events_Template_Area templates(uuid);
    ZOV_Events_Data_Area data(uuid);
    ZOV_Shared_Area extra(uuid + ".extra");
    extra.memoryManager.setEyecatcher("zovcxtra");
    for (ZOV_Shared_Area* area :
         std::initializer_list<ZOV_Shared_Area*>{&stats, &templates, &data, &extra})
        area->init(&segment);
    EXPECT_EQ(data.getStatus(), 0);
    EXPECT_EQ(extra.getStatus(), ZOV_STATUS_FAILED) << "the segment holds three areas";
    EXPECT_EQ(extra.put(zovtest::nodeRecord("u", "n").get()), ZOV_RC_FAILED);

    for (uint32_t size : {0u, 12u, 0x7FFFFFF0u}) {
        zovtest::corrupt(stats.memoryManager.address, 12, &size, 4);
        ZOV_Events_Data_Area late(uuid);
        late.init(&segment);
        EXPECT_EQ(late.getStatus(), ZOV_STATUS_FAILED) << size;
    }
    segment.cleanup();
}

TEST_F(SharedMemoryTest, ExistingSmallerSegmentMakesInitFail) {
    zovtest::configure("ZOVMemorySize 4096\n");
    ZOV_Shared_Memory small(ZOV_String("grow-uuid"));
    small.init();
    ASSERT_EQ(small.getStatus(), 0);

    standin::LogSink log;
    zovtest::configure("ZOVMemorySize 50000\n");
    ZOV_Shared_Memory large(ZOV_String("grow-uuid"));
    large.init();
    EXPECT_EQ(large.getStatus(), ZOV_STATUS_FAILED);
    EXPECT_EQ(large.segmentId, 0);
    ASSERT_EQ(log.withNumber(2).size(), 1u);
    EXPECT_EQ(log.withNumber(2)[0].inserts.at(0), "shmget");
    large.cleanup();
    small.cleanup();
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

}  // namespace
