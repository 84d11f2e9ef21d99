// The named inter-process mutex: its key file, semaphore set and handle-count
// queue, mutual exclusion between threads and processes, the removal of its
// objects by the last handle, and the failure messages. Runs inside
// zovsandbox: /tmp is a private tmpfs and the IPC namespace is the test's own.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/sem.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "broker/harness.h"
#include "support/ipc_support.h"
#include "zov/zovcmutx.h"
#include "zov/zovctool.h"

namespace {

using standin::LogRecord;
using zovtest::fileExists;
using zovtest::ipcObjectTotal;
using zovtest::queueMessages;
using zovtest::semaphoreValue;

class NameMutexTest : public ::testing::Test {
  protected:
    void TearDown() override {
        bZOVTracing = 0;
        EXPECT_EQ(ipcObjectTotal(), 0) << "IPC objects left behind";
    }
    standin::LogSink log;
};

// The "Function %s failed in %s. %s." messages logged for `call`.
std::vector<LogRecord> failuresOf(const standin::LogSink& log, const std::string& call) {
    std::vector<LogRecord> found;
    for (const LogRecord& record : log.withNumber(ZOV_MSG_FUNCTION_FAILED)) {
        if (!record.inserts.empty() && record.inserts[0] == call)
            found.push_back(record);
    }
    return found;
}

TEST_F(NameMutexTest, KeyFileIsPrefixedWithTmpOnlyWhenTheNameLacksIt) {
    ZOV_Name_Mutex prefixed("/tmp/a");
    ZOV_Name_Mutex almost("/tmpx");
    EXPECT_EQ(prefixed.getPath(), "/tmp/a.zovmutx");
    EXPECT_EQ(almost.getPath(), "/tmp//tmpx.zovmutx");
    EXPECT_TRUE(fileExists("/tmp/a.zovmutx"));
    ZOV_Name_Mutex unnamed(nullptr);
    EXPECT_EQ(unnamed.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(failuresOf(log, "open").size(), 1u);
}

TEST_F(NameMutexTest, HandlesAreCountedThroughTheQueueAndTheLastCleanupRemovesAll) {
    bZOVTracing = 1;
    const std::string path = "/tmp/zovtest_count.zovmutx";
    ASSERT_FALSE(fileExists(path));

    ZOV_Name_Mutex first("zovtest_count");
    ASSERT_EQ(first.status, 0);
    EXPECT_TRUE(fileExists(path));
    EXPECT_EQ(queueMessages(first.queueId), 1);
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 1);
    // Both ftok lines: the first before the key file existed.
    const auto ftokLines = log.containing("ftok = ");
    ASSERT_EQ(ftokLines.size(), 2u);
    EXPECT_EQ(ftokLines[0].text, "ftok = FFFFFFFF " + path);

    // A second object opens the same set and leaves its value alone.
    first.get();
    ZOV_Name_Mutex second("zovtest_count");
    ASSERT_EQ(second.status, 0);
    EXPECT_EQ(second.semaphoreId, first.semaphoreId);
    EXPECT_EQ(second.queueId, first.queueId);
    EXPECT_EQ(queueMessages(first.queueId), 2);
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 0);
    first.release();

    const int semaphoreId = first.semaphoreId;
    const int queueId = first.queueId;
    log.clear();
    first.cleanup();
    EXPECT_EQ(first.semaphoreId, ZOV_Name_Mutex::kNoId);
    EXPECT_EQ(first.queueId, ZOV_Name_Mutex::kNoId);
    EXPECT_EQ(log.containing("Messages in queue : 1").size(), 1u);
    EXPECT_TRUE(fileExists(path));
    EXPECT_EQ(queueMessages(queueId), 1);
    EXPECT_EQ(semaphoreValue(semaphoreId), 1);

    second.cleanup();
    EXPECT_EQ(log.containing("Deleting Semaphore").size(), 1u);
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(queueMessages(queueId), -1);
    EXPECT_EQ(semaphoreValue(semaphoreId), -1);

    // A second cleanup (the destructor's) gives up nothing more.
    second.cleanup();
    first.cleanup();
    EXPECT_EQ(log.countWithNumber(ZOV_MSG_FUNCTION_FAILED), 0u);
}

TEST_F(NameMutexTest, SecondObjectOfTheNameWaitsForTheFirstToRelease) {
    ZOV_Name_Mutex holder("zovtest_wait");
    ZOV_Name_Mutex waiter("zovtest_wait");
    holder.get();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        waiter.get();
        entered = true;
        waiter.release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());
    holder.release();
    other.join();
    EXPECT_TRUE(entered.load());
}

// 4 processes x 2 threads x 20,000 increments of a plain int in an anonymous
// shared mapping: any lapse of exclusion loses increments.
TEST_F(NameMutexTest, ExcludesThreadsOfSeveralProcesses) {
    constexpr int kProcesses = 4;
    constexpr int kThreads = 2;
    constexpr int kIncrements = 20000;
    void* shared =
        mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* counter = static_cast<int*>(shared);
    *counter = 0;

    std::vector<int> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(zovtest::forkChild([counter] {
            ZOV_Name_Mutex mutex("zovtest_contention");
            if (mutex.status != 0)
                return 1;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&mutex, counter] {
                    for (int i = 0; i < kIncrements; ++i) {
                        mutex.get();
                        *counter = *counter + 1;
                        mutex.release();
                    }
                });
            }
            for (auto& thread : threads)
                thread.join();
            mutex.cleanup();
            return 0;
        }));
    }
    for (int pid : children)
        EXPECT_EQ(zovtest::waitChild(pid), 0);
    EXPECT_EQ(*counter, kProcesses * kThreads * kIncrements);
    EXPECT_FALSE(fileExists("/tmp/zovtest_contention.zovmutx"));
    munmap(shared, sizeof(int));
}

// /tmp covered by a read-only file system for the duration of one case.
class ReadOnlyTmpTest : public NameMutexTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(mount("zovtest", "/tmp", "tmpfs", MS_RDONLY, nullptr), 0);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) {
            EXPECT_EQ(umount("/tmp"), 0);
        }
        NameMutexTest::TearDown();
    }
    bool mounted = false;
};

TEST_F(ReadOnlyTmpTest, UnwritableTmpFailsConstructionWithTheOpenMessage) {
    ZOV_Name_Mutex mutex("zovtest_readonly");
    EXPECT_EQ(mutex.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(mutex.semaphoreId, ZOV_Name_Mutex::kNoId);
    EXPECT_EQ(mutex.queueId, ZOV_Name_Mutex::kNoId);
    const auto failures = log.withNumber(ZOV_MSG_FUNCTION_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    const LogRecord& message = failures[0];
    EXPECT_EQ(message.source, "LumenaMonitorNode");
    EXPECT_EQ(message.function, "ZOV_Name_Mutex::ZOV_Name_Mutex");
    EXPECT_EQ(message.text,
              "Function open failed in ZOV_Name_Mutex::ZOV_Name_Mutex. Error 30. Read-only "
              "file system.");
    ASSERT_EQ(message.inserts.size(), 3u);
    EXPECT_EQ(message.inserts[0], "open");
    EXPECT_EQ(message.inserts[2], "Error 30. Read-only file system");
}

// Objects removed behind the mutex's back: the failing calls are reported and
// the operations go on; a handle that cannot be taken back removes nothing.
TEST_F(NameMutexTest, VanishedObjectsAreReportedAndNothingElseIsRemoved) {
    ZOV_Name_Mutex noQueue("zovtest_noqueue");
    ZOV_Name_Mutex noSet("zovtest_noset");
    ASSERT_EQ(noQueue.status, 0);
    ASSERT_EQ(noSet.status, 0);
    const int keptSet = noQueue.semaphoreId;
    ASSERT_EQ(msgctl(noQueue.queueId, IPC_RMID, nullptr), 0);
    ASSERT_EQ(semctl(noSet.semaphoreId, 0, IPC_RMID), 0);

    noQueue.cleanup();
    ASSERT_EQ(failuresOf(log, "msgrcv").size(), 1u);
    EXPECT_EQ(failuresOf(log, "msgrcv")[0].inserts[1], "ZOV_Name_Mutex::cleanup");
    EXPECT_EQ(semaphoreValue(keptSet), 1) << "the set must stay";
    EXPECT_TRUE(fileExists("/tmp/zovtest_noqueue.zovmutx"));

    noSet.get();  // returns at once instead of blocking
    noSet.release();
    const auto failures = failuresOf(log, "semop");
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].inserts[1], "ZOV_Name_Mutex::get");
    EXPECT_EQ(failures[1].inserts[2].rfind("Error ", 0), 0u);
    noSet.cleanup();  // the last handle, but the set is gone already
    EXPECT_EQ(failuresOf(log, "semctl IPC_RMID").size(), 1u);
    EXPECT_TRUE(fileExists("/tmp/zovtest_noset.zovmutx")) << "kept when the set was not removed";
    semctl(keptSet, 0, IPC_RMID);
}

}  // namespace
