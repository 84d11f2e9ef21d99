// The broker's segment: its size from the configuration, its layout as the
// monitoring agent sees it, creation by exactly one of several processes,
// the per-process attachment table, and removal by the last user only.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "support/area_support.h"
#include "support/ipc_support.h"
#include "zov/zovcedar.h"
#include "zov/zovcetar.h"
#include "zov/zovcshme.h"
#include "zov/zovcstar.h"

namespace {

using zovtest::headerAt;

class SharedMemoryTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::writeConfig(nullptr); }
    void TearDown() override {
        zovtest::writeConfig(nullptr);
        EXPECT_EQ(zovtest::ipcObjectCount("shm"), 0) << "a segment outlived its users";
    }
};

unsigned int segmentSizeFor(const char* config) {
    zovtest::writeConfig(config);
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
    zovtest::writeConfig("ZOVMemorySize 4096\n");
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

    shmid_ds state{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &state), 0);
    EXPECT_EQ(state.shm_segsz, 12352u);
    const auto header = headerAt(agent);
    EXPECT_EQ(header.eyecatcher, "zovcshme");
    EXPECT_EQ(header.reserved, 1);
    EXPECT_EQ(header.size, 12352u);
    EXPECT_EQ(header.nextOffset, 12352);
    EXPECT_EQ(header.lastOffset, 12352);
    const char* names[] = {"zovcstar", "zovcetar", "zovcedar"};
    for (int i = 0; i < 3; ++i) {
        const auto area = headerAt(agent + 64 + i * 4096);
        EXPECT_EQ(area.eyecatcher, names[i]);
        EXPECT_EQ(area.reserved, 1);
        EXPECT_EQ(area.size, 4096u);
        EXPECT_EQ(area.nextOffset, 64);
        EXPECT_EQ(area.lastOffset, 64);
        for (int b = 64; b < 4096; ++b)
            ASSERT_EQ(agent[64 + i * 4096 + b], 0) << names[i] << b;
    }
    EXPECT_EQ(static_cast<unsigned char*>(stats.memoryManager.address),
              static_cast<unsigned char*>(segment.memoryManager.address) + 64);

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
    zovtest::writeConfig("ZOVMemorySize 4096\n");
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
    zovtest::writeConfig("ZOVMemorySize 4096\n");
    ZOV_Shared_Memory small(ZOV_String("grow-uuid"));
    small.init();
    ASSERT_EQ(small.getStatus(), 0);

    standin::LogSink log;
    zovtest::writeConfig("ZOVMemorySize 50000\n");
    ZOV_Shared_Memory large(ZOV_String("grow-uuid"));
    large.init();
    EXPECT_EQ(large.getStatus(), ZOV_STATUS_FAILED);
    EXPECT_EQ(large.segmentId, 0);
    const auto failures = log.withNumber(2);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].text.find("Function shmget failed in ZOV_Shared_Memory::init"),
              std::string::npos)
        << failures[0].text;
    large.cleanup();
    small.cleanup();
}

TEST_F(SharedMemoryTest, TwoObjectsInOneProcessShareOneMapping) {
    ZOV_Shared_Memory first(ZOV_String("share-uuid"));
    ZOV_Shared_Memory second(ZOV_String("share-uuid"));
    first.init();
    second.init();
    ASSERT_EQ(first.getStatus(), 0);
    ASSERT_EQ(second.getStatus(), 0);
    void* const address = first.memoryManager.address;
    EXPECT_EQ(second.memoryManager.address, address);
    const int index = tableIndexOf(address);
    ASSERT_GE(index, 0);
    const ZOV_Shm_Segment_Entry& entry = ZOV_Shared_Memory::segmentTable()[index];
    EXPECT_EQ(entry.count, 2u);
    EXPECT_EQ(segmentState(second.segmentId).shm_nattch, 1u);

    const int id = second.segmentId;
    first.cleanup();
    EXPECT_EQ(entry.count, 1u);
    EXPECT_EQ(entry.address, address);
    EXPECT_EQ(segmentState(id).shm_nattch, 1u);
    EXPECT_TRUE(zovtest::fileExists("/tmp/share-uuid.zovcshme"));

    second.cleanup();
    EXPECT_EQ(entry.count, 0u);
    EXPECT_EQ(entry.address, nullptr);
    EXPECT_GT(entry.key, 0) << "the entry keeps its key and its place";
    EXPECT_FALSE(zovtest::fileExists("/tmp/share-uuid.zovcshme"));
    second.cleanup();  // a second cleanup releases nothing more
    EXPECT_EQ(second.attachMutex, nullptr);
    EXPECT_EQ(zovtest::ipcObjectTotal(), 0);
}

TEST_F(SharedMemoryTest, StaleAttachmentEntryIsReused) {
    ZOV_Shared_Memory segment(ZOV_String("stale-uuid"));
    segment.init();
    ASSERT_EQ(segment.getStatus(), 0);
    const int index = tableIndexOf(segment.memoryManager.address);
    ASSERT_GE(index, 0);
    const ZOV_Shm_Segment_Entry& entry = ZOV_Shared_Memory::segmentTable()[index];
    const int key = entry.key;

    ASSERT_EQ(segment.zov_dettach(segment.memoryManager.address), 0);
    EXPECT_EQ(entry.address, nullptr);
    EXPECT_EQ(entry.key, key);

    void* again = segment.zov_attach(segment.segmentId, key);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(tableIndexOf(again), index);
    EXPECT_EQ(entry.count, 1u);
    EXPECT_EQ(entry.segmentId, segment.segmentId);
    EXPECT_EQ(headerAt(again).eyecatcher, "zovcshme");

    segment.memoryManager.address = again;
    segment.cleanup();
}

// All 50 entries in use: null. Run in a child, since the table keeps its keys
// for the rest of the process.
TEST_F(SharedMemoryTest, FullAttachmentTableGivesNull) {
    const int status = zovtest::runInChild([] {
        ZOV_Shared_Memory segment(ZOV_String("table-uuid"));
        const int id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        // Earlier tests left keys in the table this child inherited: attach
        // under new keys until the table refuses.
        std::vector<void*> addresses;
        for (int key = 1; key <= 2 * kZOVSegmentTableEntries; ++key) {
            void* address = segment.zov_attach(id, key);
            if (address == nullptr)
                break;
            addresses.push_back(address);
        }
        int used = 0;
        for (int i = 0; i < kZOVSegmentTableEntries; ++i)
            used += ZOV_Shared_Memory::segmentTable()[i].key > 0 ? 1 : 0;
        const bool refusedWhenFull =
            used == kZOVSegmentTableEntries && addresses.size() < 2u * kZOVSegmentTableEntries;
        for (void* address : addresses)
            segment.zov_dettach(address);
        shmctl(id, IPC_RMID, nullptr);
        segment.cleanup();
        return refusedWhenFull && !addresses.empty() ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// Only the cleanup that leaves no process attached removes the segment.
TEST_F(SharedMemoryTest, OnlyTheLastCleanupOnTheMachineRemoves) {
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const int child = zovtest::forkChild([&] {
        ZOV_Shared_Memory segment(ZOV_String("last-uuid"));
        segment.init();
        char c = segment.getStatus() == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
            return 2;
        segment.cleanup();
        return 0;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    ZOV_Shared_Memory segment(ZOV_String("last-uuid"));
    segment.init();
    ASSERT_EQ(segment.getStatus(), 0);
    const int id = segment.segmentId;
    segment.cleanup();
    EXPECT_EQ(segmentState(id).shm_nattch, 1u) << "the child is still attached";
    EXPECT_TRUE(zovtest::fileExists("/tmp/last-uuid.zovcshme"));

    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(zovtest::waitChild(child), 0);
    shmid_ds state{};
    EXPECT_NE(shmctl(id, IPC_STAT, &state), 0);
    EXPECT_FALSE(zovtest::fileExists("/tmp/last-uuid.zovcshme"));
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

// Two processes start init at the same moment, many times over: exactly one
// creates (and formats) the segment, the other finds a formatted header.
TEST_F(SharedMemoryTest, SimultaneousInitFormatsOnce) {
    auto* gate = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                     PROT_READ | PROT_WRITE,
                                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(gate, MAP_FAILED);
    constexpr int kRounds = 40;
    constexpr int kCreated = 1, kSawHeader = 2, kFormattedLate = 4;
    for (int round = 0; round < kRounds; ++round) {
        const std::string uuid = "race-uuid-" + std::to_string(round);
        gate->store(0);
        auto body = [&] {
            standin::LogSink log;
            bZOVTracing = 1;
            ZOV_Shared_Memory segment(ZOV_String(uuid.c_str()));
            gate->fetch_add(1);
            while (gate->load() < 2) {
            }
            segment.init();
            int result = 0;
            if (segment.getStatus() == 0) {
                const auto header = headerAt(segment.memoryManager.address);
                if (header.eyecatcher == "zovcshme" && header.nextOffset >= 64)
                    result |= kSawHeader;
                if (segmentState(segment.segmentId).shm_cpid == getpid())
                    result |= kCreated;
                if (!log.containing("No segment header").empty())
                    result |= kFormattedLate;
                gate->fetch_add(1);  // both attached before either leaves
                while (gate->load() < 4) {
                }
            }
            bZOVTracing = 0;
            segment.cleanup();
            return result;
        };
        const int first = zovtest::forkChild(body);
        const int second = zovtest::forkChild(body);
        const int a = zovtest::waitChild(first);
        const int b = zovtest::waitChild(second);
        ASSERT_TRUE(a >= 0 && b >= 0) << "round " << round;
        EXPECT_EQ((a | b) & kFormattedLate, 0) << "round " << round;
        EXPECT_EQ(a & b & kSawHeader, kSawHeader) << "round " << round;
        EXPECT_EQ((a & kCreated) + (b & kCreated), kCreated) << "round " << round;
        EXPECT_EQ(zovtest::ipcObjectCount("shm"), 0) << "round " << round;
        EXPECT_FALSE(zovtest::fileExists("/tmp/" + uuid + ".zovcshme"));
    }
    munmap(gate, sizeof(std::atomic<int>));
}

}  // namespace
