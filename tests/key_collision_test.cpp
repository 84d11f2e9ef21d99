// Key collisions of named mutexes and segments. ftok builds a key from 8 bits
// of the key file's device and the low 16 bits of its inode, so two names can
// map to one key and so to one semaphore set and queue. A collision must
// never let a thread wait for itself, never remove another name's objects,
// and is reported; a new key file is made so that its key is free.
//
// ftok is interposed here (the library is linked into this program), so a
// test can give a path a chosen key; one test makes a true collision by
// searching inodes instead.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

namespace {

// Paths that ftok maps to a chosen key, each a given number of times (-1:
// always). A prefix also matches the temporary files made beside a key file.
struct ForcedKey {
    std::string prefix;
    key_t key;
    int times;
};
std::mutex forcedLock;
std::vector<ForcedKey> forcedKeys;

key_t realFtok(const char* path, int id) {
    using Ftok = key_t (*)(const char*, int);
    static const auto real = reinterpret_cast<Ftok>(dlsym(RTLD_NEXT, "ftok"));
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
                if (forced.times > 0)
                    --forced.times;
                return forced.key;
            }
        }
    }
    return realFtok(path, id);
}

namespace {

class KeyCollisionTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
    void TearDown() override {
        {
            const std::lock_guard<std::mutex> guard(forcedLock);
            forcedKeys.clear();
        }
        EXPECT_TRUE(zovtest::allSysvObjects().empty()) << "IPC objects left behind";
        EXPECT_EQ(zovtest::keyFileCount(), 0) << "key files left behind";
        EXPECT_TRUE(zovtest::tmpFilesEndingIn(".0").empty()) << "temporary key files left";
    }

    // The "Function ftok failed ..." messages.
    std::vector<standin::LogRecord> ftokReports() const {
        std::vector<standin::LogRecord> found;
        for (const auto& record : log.withNumber(ZOV_MSG_FUNCTION_FAILED)) {
            if (!record.inserts.empty() && record.inserts[0] == "ftok")
                found.push_back(record);
        }
        return found;
    }
    standin::LogSink log;
};

// Runs `body` on a thread and tells whether it ended within `seconds`; a
// thread that waits for itself is left behind (and the process ends soon).
bool endsWithin(double seconds, std::function<void()> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done, body] {
        body();
        *done = true;
    }).detach();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!*done && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return *done;
}

// Makes `path` a file whose key equals the key of `other`'s key file, by
// creating files until one gets an inode with the same low 16 bits (tmpfs
// numbers its inodes in turn), then renaming it. False when none was found.
bool makeCollidingFile(const std::string& path, const std::string& other) {
    struct stat target = {};
    if (stat(other.c_str(), &target) != 0)
        return false;
    const std::string scratch = "/tmp/scratch-inode";
    for (int i = 0; i < 4 * 65536; ++i) {
        std::FILE* file = std::fopen(scratch.c_str(), "w");
        if (file == nullptr)
            return false;
        std::fclose(file);
        struct stat made = {};
        stat(scratch.c_str(), &made);
        if ((made.st_ino & 0xFFFF) == (target.st_ino & 0xFFFF) && made.st_ino != target.st_ino)
            return rename(scratch.c_str(), path.c_str()) == 0;
        unlink(scratch.c_str());
    }
    return false;
}

// A second name whose key file happens to collide with an open name's, in
// the same process: refused and reported, and a thread holding the first and
// asking for the second does not wait for itself. The first name's objects
// are untouched by the second's cleanup.
TEST_F(KeyCollisionTest, SecondNameOnAKeyHeldInTheProcessIsRefused) {
    ZOV_Name_Mutex first("collide_first");
    ASSERT_EQ(first.status, 0);
    ASSERT_TRUE(makeCollidingFile("/tmp/collide_second.zovmutx", first.getPath()));
    ASSERT_EQ(realFtok("/tmp/collide_second.zovmutx", 1), realFtok(first.getPath().c_str(), 1))
        << "the search made no collision";

    ZOV_Name_Mutex second("collide_second");
    EXPECT_EQ(second.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(second.semaphoreId, ZOV_Name_Mutex::kNoId);
    EXPECT_EQ(second.queueId, ZOV_Name_Mutex::kNoId);
    const auto reports = ftokReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].inserts[2].find("of /tmp/collide_second.zovmutx is held by "
                                         "/tmp/collide_first.zovmutx"),
              std::string::npos)
        << reports[0].text;

    first.get();
    EXPECT_TRUE(endsWithin(5, [&] {
        second.get();
        second.release();
    })) << "a thread holding one name waited for itself on the other";
    first.release();

    second.cleanup();
    EXPECT_EQ(zovtest::queueMessages(first.queueId), 1) << "the other name's handle was taken";
    EXPECT_EQ(zovtest::semaphoreValue(first.semaphoreId), 1);
    first.cleanup();
    unlink("/tmp/collide_second.zovmutx");  // made by hand, never by a handle
}

// A new key file whose key names another mutex's objects is replaced by
// another file, reported: the two names then lock independently.
TEST_F(KeyCollisionTest, NewKeyFileOnATakenKeyIsMadeAgain) {
    ZOV_Name_Mutex first("collide_first");
    ASSERT_EQ(first.status, 0);
    const key_t taken = realFtok(first.getPath().c_str(), 1);
    forceKey("/tmp/collide_third.zovmutx.new", taken, 1);

    ZOV_Name_Mutex third("collide_third");
    ASSERT_EQ(third.status, 0);
    EXPECT_NE(realFtok(third.getPath().c_str(), 1), taken);
    EXPECT_NE(third.semaphoreId, first.semaphoreId);
    const auto reports = ftokReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].text.find("of a new key file for /tmp/collide_third.zovmutx is taken"),
              std::string::npos)
        << reports[0].text;

    first.get();
    EXPECT_TRUE(endsWithin(5, [&] {
        third.get();
        third.release();
    }));
    first.release();
    third.cleanup();
    first.cleanup();
}

// Two processes, each with one of two names on one key (a stale key file
// the check at creation could not see): they only exclude each other, and
// the handle count of the shared queue keeps both names' objects until the
// last of the two is cleaned up.
TEST_F(KeyCollisionTest, NamesSharingAKeyAcrossProcessesRemoveNothingEarly) {
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = zovtest::forkChild([&] {
        ZOV_Name_Mutex first("collide_first");
        char byte = first.status == 0 ? 'k' : 'x';
        if (write(toParent[1], &byte, 1) != 1 || read(toChild[0], &byte, 1) != 1)
            return 2;
        first.get();
        first.release();
        first.cleanup();
        return 0;
    });
    char byte = 0;
    ASSERT_EQ(read(toParent[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'k');
    const key_t shared = realFtok("/tmp/collide_first.zovmutx", 1);
    forceKey("/tmp/collide_fourth.zovmutx", shared, -1);
    {
        ZOV_Name_Mutex fourth("collide_fourth");
        ASSERT_EQ(fourth.status, 0) << "this process holds no other name on the key";
        EXPECT_EQ(zovtest::queueMessages(fourth.queueId), 2);
        fourth.get();
        fourth.release();
        fourth.cleanup();
        EXPECT_EQ(zovtest::queueMessages(fourth.queueId), -1) << "cleaned up";
        const auto left = zovtest::allSysvObjects();
        EXPECT_EQ(left.size(), 2u) << "the other name's semaphore set and queue stay";
    }
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    EXPECT_EQ(zovtest::waitChild(child), 0);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
}

// Segment key files get the same check: a new one whose key already names a
// segment would make two brokers share it.
TEST_F(KeyCollisionTest, NewSegmentKeyFileOnATakenKeyIsMadeAgain) {
    ZOV_Shared_Memory first(ZOV_String("broker-one"));
    first.init();
    ASSERT_EQ(first.getStatus(), 0);
    const key_t taken = realFtok(first.path.c_str(), 1);
    forceKey("/tmp/broker-two.zovcshme.new", taken, 1);

    ZOV_Shared_Memory second(ZOV_String("broker-two"));
    second.init();
    ASSERT_EQ(second.getStatus(), 0);
    EXPECT_NE(second.segmentId, first.segmentId) << "two brokers share one segment";
    EXPECT_EQ(ftokReports().size(), 1u);
    second.cleanup();
    first.cleanup();
}

}  // namespace
