// The named inter-process mutex: handle counting and removal by the last
// handle, joins racing with that removal, a creator that ends half-way, and
// key collisions (ftok keeps 8 bits of the device and 16 of the inode). ftok,
// msgctl and semop are interposed (the library is linked into this program):
// a path gets a chosen key, or a process is held or ended at a chosen step.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/harness.h"
#include "support/host_programs.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/reliability_support.h"
#include "zov/zovcmutx.h"
#include "zov/zovcshme.h"
#include "zov/zovctool.h"

namespace {

// Paths with a prefix that ftok maps to a chosen key, a number of times (-1:
// always). A prefix also matches the temporary files made beside a key file.
struct ForcedKey {
    std::string prefix;
    key_t key;
    int times;
};
std::mutex forcedLock;
std::vector<ForcedKey> forcedKeys;
// Set in a child: milliseconds to wait, after writing a byte to
// removalNotice, before a queue is removed (the last handle's cleanup).
int delayBeforeQueueRemoval = 0;
int removalNotice = -1;
// Set in a child: end the process at its first semop.
bool endAtFirstSemop = false;

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

key_t realFtok(const char* path, int id) {
    static const auto real = realFunction<key_t (*)(const char*, int)>("ftok");
    return real(path, id);
}

void forceKey(const std::string& prefix, key_t key, int times) {
    const std::lock_guard<std::mutex> guard(forcedLock);
    forcedKeys.push_back({prefix, key, times});
}

}  // namespace

extern "C" key_t ftok(const char* path, int id) {
    {
        const std::lock_guard<std::mutex> guard(forcedLock);
        for (ForcedKey& forced : forcedKeys) {
            if (forced.times != 0 && std::string(path).rfind(forced.prefix, 0) == 0) {
                forced.times -= forced.times > 0 ? 1 : 0;
                return forced.key;
            }
        }
    }
    return realFtok(path, id);
}

extern "C" int msgctl(int id, int command, struct msqid_ds* buffer) {
    static const auto real = realFunction<int (*)(int, int, struct msqid_ds*)>("msgctl");
    if (command == IPC_RMID && delayBeforeQueueRemoval > 0) {
        if (write(removalNotice, "d", 1) != 1)
            _exit(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayBeforeQueueRemoval));
    }
    return real(id, command, buffer);
}

extern "C" int semop(int id, struct sembuf* operations, size_t count) {
    static const auto real = realFunction<int (*)(int, struct sembuf*, size_t)>("semop");
    if (endAtFirstSemop)
        _exit(0);
    return real(id, operations, count);
}

namespace {

using zovtest::fileExists;
using zovtest::queueMessages;
using zovtest::semaphoreValue;

class NameMutexTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
    void TearDown() override {
        bZOVTracing = 0;
        {
            const std::lock_guard<std::mutex> guard(forcedLock);
            forcedKeys.clear();
        }
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
        EXPECT_EQ(zovtest::keyFileCount(), 0) << "key files left behind";
        EXPECT_TRUE(zovtest::tmpFilesEndingIn(".0").empty()) << "temporary key files left";
    }
    standin::LogSink log;
};

TEST_F(NameMutexTest, HandlesAreCountedThroughTheQueueAndTheLastCleanupRemovesAll) {
    bZOVTracing = 1;
    const std::string path = "/tmp/zovtest_count.zovmutx";
    ZOV_Name_Mutex first("zovtest_count");
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 1);
    // Both ftok lines: the first before the key file existed.
    const auto ftokLines = log.containing("ftok = ");
    ASSERT_EQ(ftokLines.size(), 2u);
    EXPECT_EQ(ftokLines[0].text, "ftok = FFFFFFFF " + path);

    // A second object opens the same set and leaves its value alone.
    first.get();
    ZOV_Name_Mutex second("zovtest_count");
    ASSERT_EQ(second.semaphoreId, first.semaphoreId);
    EXPECT_EQ(queueMessages(first.queueId), 2);
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 0);
    first.release();

    const int semaphoreId = first.semaphoreId;
    const int queueId = first.queueId;
    first.cleanup();
    EXPECT_EQ(first.queueId, ZOV_Name_Mutex::kNoId);
    EXPECT_EQ(log.containing("Messages in queue : 1").size(), 1u);
    EXPECT_EQ(semaphoreValue(semaphoreId), 1);
    second.cleanup();
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(queueMessages(queueId), -1);
    EXPECT_EQ(semaphoreValue(semaphoreId), -1);
    second.cleanup();  // the destructor's second cleanup gives up nothing more
    EXPECT_EQ(log.countWithNumber(ZOV_MSG_FUNCTION_FAILED), 0u);
}

// A's cleanup has decided it holds the last handle and is about to remove
// queue, set and key file when B joins the name; then C joins. B and C must
// share one live set: C finds it taken while B holds it.
TEST_F(NameMutexTest, JoinWhileTheLastHandleIsRemovedStillExcludes) {
    int removing[2], toParent[2], go[2];
    ASSERT_EQ(pipe(removing), 0);
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(go), 0);
    const int a = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_join");
        removalNotice = removing[1];
        delayBeforeQueueRemoval = 300;
        mutex.cleanup();
        return mutex.status;
    });
    char byte = 0;
    ASSERT_EQ(read(removing[0], &byte, 1), 1);
    const int b = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_join");
        mutex.get();
        if (write(toParent[1], &mutex.semaphoreId, sizeof(int)) != sizeof(int) ||
            read(go[0], &byte, 1) != 1)
            return 1;
        mutex.release();
        return mutex.status;
    });
    int heldByB = -1;
    ASSERT_EQ(read(toParent[0], &heldByB, sizeof heldByB), static_cast<ssize_t>(sizeof heldByB));
    EXPECT_EQ(zovtest::waitChild(a), 0);
    {
        ZOV_Name_Mutex c("zovtest_join");
        EXPECT_EQ(c.semaphoreId, heldByB) << "B and C hold different sets";
        EXPECT_EQ(semaphoreValue(c.semaphoreId), 0) << "C could take what B holds";
        ASSERT_EQ(write(go[1], "g", 1), 1);
        EXPECT_EQ(zovtest::waitChild(b), 0);
    }
    EXPECT_EQ(log.countWithNumber(ZOV_MSG_FUNCTION_FAILED), 0u);
    for (int fd : {removing[0], removing[1], toParent[0], toParent[1], go[0], go[1]})
        close(fd);
}

// The creator of a set ends between creating it and raising it to 1: the
// next object of the name raises it, says so, and the lock works.
TEST_F(NameMutexTest, SetLeftAtZeroByAnEndedCreatorIsRecovered) {
    EXPECT_EQ(zovtest::runInChild([] {
                  endAtFirstSemop = true;
                  ZOV_Name_Mutex mutex("zovtest_orphan");
                  return 1;
              }),
              0);
    ZOV_Name_Mutex next("zovtest_orphan");
    EXPECT_EQ(semaphoreValue(next.semaphoreId), 1);
    const auto recovered = log.withNumber(ZOV_MSG_RECOVERED);
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_NE(recovered[0].text.find("/tmp/zovtest_orphan.zovmutx"), std::string::npos);
    next.get();
    next.release();
}

// A second name on a key this process holds (a stale key file with a
// colliding inode): refused and reported, so that no thread holding one can
// wait for itself on the other; its cleanup leaves the first's objects alone.
TEST_F(NameMutexTest, SecondNameOnAKeyHeldInTheProcessIsRefused) {
    ZOV_Name_Mutex first("collide_first");
    close(open("/tmp/collide_second.zovmutx", O_CREAT | O_RDONLY, 0660));
    forceKey("/tmp/collide_second.zovmutx", realFtok(first.getPath(), 1), -1);
    ZOV_Name_Mutex second("collide_second");
    EXPECT_EQ(second.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(second.semaphoreId, ZOV_Name_Mutex::kNoId);
    const auto reports = log.containing("Function ftok failed");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].text.find("of /tmp/collide_second.zovmutx is held by "
                                   "/tmp/collide_first.zovmutx"),
              std::string::npos)
        << reports[0].text;
    second.cleanup();
    EXPECT_EQ(queueMessages(first.queueId), 1) << "the other name's handle was taken";
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 1);
    first.cleanup();
    unlink("/tmp/collide_second.zovmutx");  // refused: no handle removes it
}

// A new key file whose key names another name's objects (mutex) or another
// broker's segment is made again, reported once: they stay apart.
TEST_F(NameMutexTest, NewKeyFileOnATakenKeyIsMadeAgain) {
    ZOV_Name_Mutex first("collide_first");
    forceKey("/tmp/collide_third.zovmutx.new", realFtok(first.getPath(), 1), 1);
    ZOV_Name_Mutex third("collide_third");
    EXPECT_NE(third.semaphoreId, first.semaphoreId);
    EXPECT_NE(realFtok(third.getPath(), 1), realFtok(first.getPath(), 1));

    ZOV_Shared_Memory one(ZOV_String("broker-one"));
    one.init();
    forceKey("/tmp/broker-two.zovcshme.new", realFtok(one.path.c_str(), 1), 1);
    ZOV_Shared_Memory two(ZOV_String("broker-two"));
    two.init();
    ASSERT_EQ(two.getStatus(), 0);
    EXPECT_NE(two.segmentId, one.segmentId) << "two brokers share one segment";

    const auto reports = log.containing("Function ftok failed");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].text.find("of a new key file for /tmp/collide_third.zovmutx is taken"),
              std::string::npos)
        << reports[0].text;
    for (ZOV_Shared_Memory* segment : {&two, &one})
        segment->cleanup();
    third.cleanup();
    first.cleanup();
}

}  // namespace
