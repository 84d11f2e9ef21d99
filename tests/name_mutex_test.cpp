// The named mutex and the objects under the broker's names: removal by the
// last handle racing with joins, a creator ending half-way, key collisions;
// another local user (a child as an unprivileged uid) planting links or
// objects under the broker's keys; concurrent releases of a stale lock. ftok,
// msgctl and semop are interposed to force keys and interleavings.
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "broker/harness.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "tools/lumenaview_locks.h"
#include "zov/core/zovcdegr.h"
#include "zov/core/zovcmutx.h"
#include "zov/core/zovcshme.h"

namespace {

// Paths with a prefix that ftok maps to a chosen key, a number of times (-1:
// always); a prefix also matches the temporary files beside a key file.
struct ForcedKey {
    std::string prefix;
    key_t key;
    int times;
};
std::vector<ForcedKey> forcedKeys;
// In a child: before a queue is removed (the last handle's cleanup), write a
// byte to removalNotice and wait this many milliseconds.
int delayBeforeQueueRemoval = 0;
int removalNotice = -1;
bool endAtFirstSemop = false;
bool failQueueStatus = false;  // msgctl IPC_STAT fails
// Before a semop of two operations (the viewer's raise of a stale lock).
thread_local int delayBeforeRaise = 0;

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

key_t realFtok(const char* path, int id) {
    static const auto real = realFunction<key_t (*)(const char*, int)>("ftok");
    return real(path, id);
}

}  // namespace

extern "C" key_t ftok(const char* path, int id) {
    for (ForcedKey& forced : forcedKeys) {
        if (forced.times != 0 && std::string(path).rfind(forced.prefix, 0) == 0) {
            forced.times -= forced.times > 0 ? 1 : 0;
            return forced.key;
        }
    }
    return realFtok(path, id);
}
extern "C" int msgctl(int id, int command, struct msqid_ds* buffer) {
    static const auto real = realFunction<int (*)(int, int, struct msqid_ds*)>("msgctl");
    if (command == IPC_STAT && failQueueStatus) {
        errno = EIO;
        return -1;
    }
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
    if (count == 2 && delayBeforeRaise > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayBeforeRaise));
    return real(id, operations, count);
}

namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zovtest::queueMessages;
using zovtest::semaphoreValue;

class NameMutexTest : public ::testing::Test {
  protected:
    void SetUp() override { zovtest::configure(nullptr); }
    void TearDown() override {
        forcedKeys.clear();
        EXPECT_EQ(zovtest::ipcObjectTotal(), 0) << "IPC objects left behind";
        EXPECT_EQ(zovtest::keyFileCount(), 0) << "key files left behind";
        for (const std::string& name : zovtest::tmpFilesEndingIn(""))
            EXPECT_EQ(name.find(".new"), std::string::npos) << "temporary key file left";
    }
    standin::LogSink log;
};

// A's cleanup has decided it holds the last handle and is about to remove
// queue, set and key file when B joins the name; then C joins. B and C must
// share one live set: C finds it taken while B holds it.
TEST_F(NameMutexTest, JoinWhileTheLastHandleIsRemovedStillExcludes) {
    zovtest::Pipe removing, heldByB, go;
    const pid_t a = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_join");
        removalNotice = removing.writeEnd();
        delayBeforeQueueRemoval = 300;
        mutex.cleanup();
        return mutex.status;
    });
    ASSERT_TRUE(removing.await());
    const pid_t b = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_join");
        mutex.get();
        if (!heldByB.send(&mutex.semaphoreId, sizeof(int)) || !go.await())
            return 1;
        mutex.release();
        return mutex.status;
    });
    int setOfB = -1;
    ASSERT_TRUE(heldByB.receive(&setOfB, sizeof setOfB));
    EXPECT_EQ(zovtest::waitChild(a), 0);
    {
        ZOV_Name_Mutex c("zovtest_join");
        EXPECT_EQ(c.semaphoreId, setOfB) << "B and C hold different sets";
        EXPECT_EQ(semaphoreValue(c.semaphoreId), 0) << "C could take what B holds";
        ASSERT_TRUE(go.signal());
        EXPECT_EQ(zovtest::waitChild(b), 0);
    }
    EXPECT_EQ(log.countWithNumber(ZOV_MSG_FUNCTION_FAILED), 0u);
}

// A creator ends between creating the set and raising it to 1: the next
// object of the name raises it, says so, and the lock works.
TEST_F(NameMutexTest, SetLeftAtZeroByAnEndedCreatorIsRecovered) {
    EXPECT_EQ(zovtest::runInChild([] {
                  endAtFirstSemop = true;
                  ZOV_Name_Mutex mutex("zovtest_orphan");
                  return 1;
              }),
              0);
    ZOV_Name_Mutex next("zovtest_orphan");
    EXPECT_EQ(semaphoreValue(next.semaphoreId), 1);
    EXPECT_THAT(zovtest::textsOf(log.withNumber(ZOV_MSG_RECOVERED)),
                ElementsAre(HasSubstr("of /tmp/zovtest_orphan.zovmutx")));
    next.get();
    next.release();
}

// The last handle's cleanup that cannot read the queue's status removes the
// set and the key file and leaves the queue, which others may still count on.
TEST_F(NameMutexTest, UnreadableQueueStatusLeavesTheQueue) {
    auto* mutex = new ZOV_Name_Mutex("zovtest_status");
    const int queue = mutex->queueId;
    failQueueStatus = true;
    delete mutex;
    failQueueStatus = false;
    EXPECT_EQ(zovtest::ipcObjectCount("sem"), 0);
    EXPECT_EQ(zovtest::keyFileCount(), 0);
    EXPECT_EQ(msgctl(queue, IPC_RMID, nullptr), 0) << "the queue was removed";
}

// A second name on a key this process holds (a stale key file, colliding
// inode) is refused, so no thread can wait for itself, and its cleanup leaves
// the first's objects alone. A new key file whose key names another name's
// objects or another broker's segment is made again. Each is reported once.
TEST_F(NameMutexTest, CollidingKeysNeverShareObjects) {
    ZOV_Name_Mutex first("collide_first");
    const key_t firstKey = realFtok(first.getPath(), 1);
    close(open("/tmp/collide_second.zovmutx", O_CREAT | O_RDONLY, 0660));
    forcedKeys.push_back({"/tmp/collide_second.zovmutx", firstKey, -1});
    ZOV_Name_Mutex second("collide_second");
    EXPECT_EQ(second.status, ZOV_STATUS_FAILED);
    EXPECT_EQ(second.semaphoreId, ZOV_Name_Mutex::kNoId);
    second.cleanup();
    EXPECT_EQ(queueMessages(first.queueId), 1) << "the other name's handle was taken";
    EXPECT_EQ(semaphoreValue(first.semaphoreId), 1);
    unlink("/tmp/collide_second.zovmutx");  // refused: no handle removes it

    forcedKeys.push_back({"/tmp/collide_third.zovmutx.new", firstKey, 1});
    ZOV_Name_Mutex third("collide_third");
    EXPECT_EQ(third.status, 0);
    forcedKeys.push_back({"/tmp/collide_fourth.zovmutx.new", firstKey, -1});
    ZOV_Name_Mutex fourth("collide_fourth");  // every key it tries is taken: given up
    EXPECT_EQ(fourth.status, ZOV_STATUS_FAILED);
    EXPECT_NE(access("/tmp/collide_fourth.zovmutx", F_OK), 0);
    ZOV_Shared_Memory one(ZOV_String("broker-one")), two(ZOV_String("broker-two"));
    one.init();
    forcedKeys.push_back({"/tmp/broker-two.zovcshme.new", realFtok(one.path.c_str(), 1), 1});
    two.init();
    ASSERT_EQ(two.getStatus(), 0);

    EXPECT_THAT(
        zovtest::textsOf(log.containing("Function ftok failed")),
        ElementsAre(HasSubstr("/tmp/collide_second.zovmutx is held by /tmp/collide_first")));
    EXPECT_THAT(zovtest::textsOf(log.withNumber(ZOV_MSG_REFUSED)),
                ElementsAre(AllOf(HasSubstr("/tmp/collide_fourth.zovmutx"),
                                  HasSubstr("keys of 32 new files"))));
}

constexpr uid_t kOtherUser = 65534;
constexpr char kBroker[] = "SECBRK";
const std::string kSegmentFile = "/tmp/sec-uuid.zovcshme";
const std::string kSegmentMutexFile = kSegmentFile + ".zovmutx";
const std::string kLinkTarget = "/tmp/planted-target";
constexpr size_t kPlantedSize = 128u << 20;

// Runs `steps` as the other user in a child; true when they succeeded.
bool asOtherUser(const std::function<bool()>& steps) {
    return zovtest::runInChild([&] {
               if (setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0)
                   return 2;
               return steps() ? 0 : 1;
           }) == 0;
}

// The key of a key file the broker's user made earlier (a previous run's).
key_t brokersKeyFile(const std::string& path) {
    close(open(path.c_str(), O_CREAT | O_RDONLY, 0660));
    return ftok(path.c_str(), 1);
}

struct Plant {
    std::string what;
    std::string refused;                   // the file the refusal names
    std::function<bool(key_t)> plant;      // the planting step, given the file's key
    std::function<bool(key_t)> untouched;  // while the node lives and after
    bool link = false;                     // planted at the file itself: no key
    bool mine = false;  // planted by this process's user, open to all: refused for its mode
};

bool plantedLinkIntact(const std::string& path) {
    struct stat found = {};
    return lstat(path.c_str(), &found) == 0 && S_ISLNK(found.st_mode) &&
           access(kLinkTarget.c_str(), F_OK) != 0;
}

bool plantedSegmentUnattached(key_t key) {
    struct shmid_ds found = {};
    const int id = shmget(key, 0, 0);
    return id >= 0 && shmctl(id, IPC_STAT, &found) == 0 && found.shm_nattch == 0 &&
           found.shm_perm.uid == kOtherUser;
}

Plant linkAt(const std::string& file) {
    return {"link at " + file, file,
            [file](key_t) { return symlink(kLinkTarget.c_str(), file.c_str()) == 0; },
            [file](key_t) { return plantedLinkIntact(file); }, true};
}

const Plant kPlants[] = {
    linkAt(kSegmentFile),
    linkAt(kSegmentMutexFile),
    {"empty segment open to all", kSegmentFile,
     [](key_t key) { return shmget(key, 3 * 4096 + 64, IPC_CREAT | 0666) >= 0; },
     plantedSegmentUnattached},
    {"pre-formatted segment of 128 MiB", kSegmentFile,
     [](key_t key) {
         const int id = shmget(key, kPlantedSize, IPC_CREAT | 0660);
         auto* bytes = static_cast<char*>(shmat(id, nullptr, 0));
         if (id < 0 || bytes == reinterpret_cast<char*>(-1))
             return false;
         std::memcpy(bytes, "zovcshme", 8);
         std::memcpy(bytes + 12, &kPlantedSize, 4);
         return shmdt(bytes) == 0;
     },
     plantedSegmentUnattached},
    {"semaphore set at 0 under the segment mutex", kSegmentMutexFile,
     [](key_t key) { return semget(key, 1, IPC_CREAT | 0666) >= 0; },
     [](key_t key) {
         const int id = semget(key, 0, 0);
         return semctl(id, 0, GETVAL) == 0 && semctl(id, 0, GETPID) == 0;
     }},
    {"queue under the segment mutex", kSegmentMutexFile,
     [](key_t key) { return msgget(key, IPC_CREAT | 0666) >= 0; },
     [](key_t key) {
         struct msqid_ds found = {};
         return msgctl(msgget(key, 0), IPC_STAT, &found) == 0 && found.msg_qnum == 0 &&
                found.msg_perm.uid == kOtherUser;
     }},
    {"semaphore set of this user open to all", kSegmentMutexFile,
     [](key_t key) { return semget(key, 1, IPC_CREAT | 0666) >= 0; },
     [](key_t key) { return semctl(semget(key, 0, 0), 0, GETPID) == 0; }, false, true},
};

class PlantedTest : public ::testing::TestWithParam<Plant> {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 4096\n");
        ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, "sec-uuid"));
        ZOV_ResetDegradedReports();
    }
    void TearDown() override {
        zovtest::removeLeftovers();
        unlink(kSegmentFile.c_str());
        unlink(kSegmentMutexFile.c_str());
    }
};

TEST_P(PlantedTest, IsRefusedOnceAndMessagesStillPass) {
    const Plant& plant = GetParam();
    const key_t key = plant.link ? -1 : brokersKeyFile(plant.refused);
    const auto planted = [&] { return plant.plant(key); };
    ASSERT_TRUE(plant.mine ? planted() : asOtherUser(planted)) << "planting failed";

    standin::LogSink log;
    auto plugin = zovtest::loadPlugin();
    auto node = plugin->createNode({kBroker, "EG", "F", "n"});
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("label", "planted");
    node->setAttribute("type", "input");
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(node->evaluate(&message).propagations, 1);

    EXPECT_THAT(zovtest::textsOf(log.withNumber(ZOV_MSG_REFUSED)),
                ElementsAre(AllOf(HasSubstr(plant.refused + " "),
                                  HasSubstr(plant.mine ? "mode 0666" : "user 65534"))))
        << ::testing::PrintToString(zovtest::textsOf(log.all()));
    EXPECT_TRUE(plant.untouched(key));
    node.reset();
    plugin.reset();
    EXPECT_TRUE(plant.untouched(key)) << "after the node's cleanup";
}

INSTANTIATE_TEST_SUITE_P(Hostile, PlantedTest, ::testing::ValuesIn(kPlants),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// A lock taken by a process that ended; a live process waits for it.
class StaleLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(zovtest::runInChild([] {
                      auto* mutex = new ZOV_Name_Mutex("zovtest_stale");
                      mutex->get();
                      return mutex->status;  // ends holding it, handle left behind
                  }),
                  0);
    }
    void TearDown() override { zovtest::removeLeftovers(); }
    const std::string keyFile = "/tmp/zovtest_stale.zovmutx";
};

// Two operators release at the same moment; the first raise lets the waiter
// in, and the second must not raise the lock the waiter now holds.
TEST_F(StaleLockTest, ConcurrentReleasesNeverBreakALiveHold) {
    zovtest::Pipe held, go;
    const pid_t waiter = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_stale");
        mutex.get();
        if (!held.signal() || !go.await())
            return 1;
        mutex.release();
        return 0;
    });
    const int semaphoreId = lumenaview::inspectLock(keyFile).semaphoreId;
    ASSERT_GE(semaphoreId, 0);
    ASSERT_TRUE(zovtest::waitUntil([&] { return semctl(semaphoreId, 0, GETNCNT) >= 1; }));

    lumenaview::ReleaseOutcome outcomes[2];
    zovtest::startThreads(2, [&](int i) {
        delayBeforeRaise = 100 + 200 * i;  // both look before either raises
        std::istringstream in;
        std::ostringstream out, err;
        outcomes[i] = lumenaview::releaseStale(keyFile, true, in, out, err);
    });
    ASSERT_TRUE(held.await());
    EXPECT_EQ(semctl(semaphoreId, 0, GETVAL), 0) << "the waiter's hold was broken";
    EXPECT_EQ((outcomes[0] == lumenaview::ReleaseOutcome::kReleased) +
                  (outcomes[1] == lumenaview::ReleaseOutcome::kReleased),
              1);
    ASSERT_TRUE(go.signal());
    EXPECT_EQ(zovtest::waitChild(waiter), 0);
}

// --release-stale acts on /tmp/NAME.zovmutx only, however else a path names
// that file (or any other file whose key names a set).
TEST_F(StaleLockTest, IsReleasedOnlyUnderItsOwnName) {
    const int semaphoreId = lumenaview::inspectLock(keyFile).semaphoreId;
    for (const char* path : {"/tmp/../tmp/zovtest_stale.zovmutx", "/tmp//zovtest_stale.zovmutx"}) {
        std::istringstream in;
        std::ostringstream out, err;
        EXPECT_EQ(lumenaview::releaseStale(path, true, in, out, err),
                  lumenaview::ReleaseOutcome::kNotFound)
            << path;
        EXPECT_EQ(semctl(semaphoreId, 0, GETVAL), 0) << path;
    }
}

// The process under the last operator's id started after the last operation:
// the id was reused, and the operator has ended (here the later process only
// set the value, which makes it the last operator without an operation).
TEST_F(StaleLockTest, AHolderWhoseIdWasReusedHasEnded) {
    const int semaphoreId = lumenaview::inspectLock(keyFile).semaphoreId;
    struct semid_ds status = {};
    ASSERT_EQ(semctl(semaphoreId, 0, IPC_STAT, &status), 0);
    while (std::time(nullptr) <= status.sem_otime + 3)
        usleep(100000);
    zovtest::Pipe set, done;
    const pid_t later = zovtest::forkChild([&] {
        return semctl(semaphoreId, 0, SETVAL, 0) == 0 && set.signal() && done.await() ? 0 : 1;
    });
    ASSERT_TRUE(set.await());
    const lumenaview::LockView lock = lumenaview::inspectLock(keyFile);
    EXPECT_EQ(lock.lastPid, later);
    EXPECT_EQ(lock.lastProcess, "ended");
    EXPECT_EQ(lock.state, lumenaview::LockState::kStale);
    ASSERT_TRUE(done.signal());
    EXPECT_EQ(zovtest::waitChild(later), 0);
}

// A holder that stopped still holds; a zombie or ended one never frees.
TEST_F(StaleLockTest, HolderStatesAreShownAsTheyAre) {
    using lumenaview::LockState;
    const struct {
        bool stop, reap;
        const char* shown;
        LockState state;
    } cases[] = {{true, false, "stopped", LockState::kHeld},
                 {false, false, "zombie", LockState::kStale},
                 {false, true, "ended", LockState::kStale}};
    ZOV_Name_Mutex mutex("zovtest_stale");
    for (const auto& c : cases) {
        semctl(mutex.semaphoreId, 0, SETVAL, 1);
        const pid_t holder = zovtest::forkChild([&] {
            mutex.get();
            return c.stop ? raise(SIGSTOP) : 0;
        });
        siginfo_t end = {};  // until it has stopped or ended; a zombie stays
        waitid(P_PID, holder, &end, WSTOPPED | WEXITED | (c.reap ? 0 : WNOWAIT));
        const lumenaview::LockView lock = lumenaview::inspectLock(keyFile);
        EXPECT_EQ(lock.lastProcess, c.shown);
        EXPECT_EQ(lock.state, c.state) << c.shown;
        EXPECT_EQ(lumenaview::countStaleLocks(), c.state == LockState::kStale) << c.shown;
        if (!c.reap) {  // never signal a reaped child's pid: it may be reused
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
    }
}

// A count remembers a set it found free, and does not look at it again until
// the set is operated on; a set operated on in the last seconds before the
// count listed the sets is not remembered (a margin of 3 s). Either way, a
// lock taken and left by a process that ended right after a count is stale
// at the next one.
TEST_F(StaleLockTest, ALockLeftRightAfterACountIsStaleAtTheNext) {
    const auto startOfASecond = [] {
        for (const std::time_t now = std::time(nullptr); std::time(nullptr) == now;)
            usleep(1000);
    };
    ZOV_Name_Mutex mutex("zovtest_stale");
    for (const int secondsLater : {0, 4}) {
        startOfASecond();
        ASSERT_EQ(semctl(mutex.semaphoreId, 0, SETVAL, 1), 0);
        ASSERT_TRUE(mutex.get());  // operated on in this second
        mutex.release();
        for (int second = 0; second < secondsLater; ++second)
            startOfASecond();
        EXPECT_EQ(lumenaview::countStaleLocks(), 0);
        EXPECT_EQ(lumenaview::countStaleLocks(), 0);
        ASSERT_EQ(zovtest::runInChild([&mutex] { return mutex.get() ? 0 : 1; }), 0);
        EXPECT_EQ(lumenaview::countStaleLocks(), 1) << secondsLater << " s later";
    }
}

// The count takes a key file's key from the directory listing's inode number
// only where that is the file's own: a listing numbered otherwise (as some
// file systems do), or one without file types, still finds the stale lock;
// a link is refused without being followed.
TEST_F(StaleLockTest, IsCountedFromAnyListingOfTheKeyFiles) {
    struct stat file {};
    ASSERT_EQ(stat(keyFile.c_str(), &file), 0);
    const struct {
        unsigned char type;
        ino_t inode;
        int stale, refused;
    } cases[] = {{DT_REG, file.st_ino, 1, 0},
                 {DT_REG, file.st_ino + 1, 1, 0},
                 {DT_UNKNOWN, 0, 1, 0},
                 {DT_LNK, file.st_ino, 0, 1}};
    const int directory = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    for (const auto& c : cases) {
        dirent entry{};
        entry.d_type = c.type;
        entry.d_ino = c.inode;
        std::strcpy(entry.d_name, "zovtest_stale.zovmutx");
        lumenaview::LockCounter counter;
        counter.take(directory, entry);
        EXPECT_EQ(counter.counts.stale, c.stale) << int{c.type} << ' ' << c.inode;
        EXPECT_EQ(counter.counts.refused, c.refused) << int{c.type} << ' ' << c.inode;
    }
    close(directory);
}

}  // namespace

// Exact counts when the named mutexes cannot all be had: another user squats
// (semaphore set and queue, mode 0600) the keys of the next inodes of /tmp
// before the broker starts, or, with no attacker, the system's limit of
// semaphore sets is reached before the node's statistics record gets its
// mutex. 4 threads x 25,000 messages on one node; a handful of lines at most,
// each naming what it concerns, none per message.
class ExhaustedIpcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zovtest::configure("ZOVMemorySize 65536\n");
        uuid = std::string("x-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, uuid));
    }
    void TearDown() override {
        setSemaphoreSetLimit(32000);
        zovtest::removeLeftovers();
    }
    static bool setSemaphoreSetLimit(int sets) {  // SEMMSL SEMMNS SEMOPM SEMMNI
        FILE* file = std::fopen("/proc/sys/kernel/sem", "w");
        const bool written = file && std::fprintf(file, "32000 1024000000 500 %d", sets) > 0;
        return file != nullptr && std::fclose(file) == 0 && written;
    }
    // The node is made, then `before` runs, then the node joins and floods.
    void expectExactCountsAndFewLines(const std::function<void()>& before, bool limited) {
        standin::LogSink log;
        auto plugin = zovtest::loadPlugin();
        auto node = plugin->createNode({kBroker, "EG", "F", "n"});
        node->setDownstream([](const standin::Delivery&) {});
        before();
        node->setAttribute("label", "flooded");
        node->setAttribute("type", "input");
        auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(1));
        zovtest::startThreads(4, [&](int) {
            for (int i = 0; i < 25000; ++i)
                node->evaluate(&message);
        });
        setSemaphoreSetLimit(32000);
        const ZOV_Resource_ID id = zovtest::identity(uuid, kBroker);
        ZOV_Broker reader(&id);
        EXPECT_EQ(zovtest::readAreaCounts(reader).messages["flooded"], 100000.0);
        std::vector<std::vector<std::string>> lines;
        for (const standin::LogRecord& record : log.all())
            if (!record.isTrace())
                lines.push_back(record.inserts);
        EXPECT_LE(lines.size(), 5u) << ::testing::PrintToString(lines);
        if (limited) {  // said once each, and the record went to the area lock
            EXPECT_EQ(log.containing("IPC limit reached: semget").size(), 1u);
            EXPECT_EQ(log.containing("stand-in lock used").size(), 1u);
        }
    }
    std::string uuid;
};

TEST_F(ExhaustedIpcTest, KeysOfTheNextInodesSquattedByAnotherUser) {
    struct stat probe = {};
    close(open("/tmp/squat-probe", O_CREAT | O_RDONLY, 0600));
    ASSERT_EQ(stat("/tmp/squat-probe", &probe), 0);
    unlink("/tmp/squat-probe");
    ASSERT_TRUE(asOtherUser([&] {
        for (ino_t inode = probe.st_ino + 1; inode <= probe.st_ino + 64; ++inode) {
            const auto key =
                static_cast<key_t>(1u << 24 | (probe.st_dev & 0xFF) << 16 | (inode & 0xFFFF));
            if (semget(key, 1, IPC_CREAT | 0600) < 0 || msgget(key, IPC_CREAT | 0600) < 0)
                return false;
        }
        return true;
    }));
    expectExactCountsAndFewLines([] {}, false);
}

TEST_F(ExhaustedIpcTest, SemaphoreSetLimitReachedBeforeTheRecordsMutex) {
    expectExactCountsAndFewLines(
        [] { ASSERT_TRUE(setSemaphoreSetLimit(zovtest::ipcObjectCount("sem"))); }, true);
}

// 130 refusals fill the table of subjects logged (128); a new condition after
// them is logged with its subject, and no repeat is logged.
TEST(DegradedLog, FirstReportAfterAFullTableNamesItsSubject) {
    standin::LogSink log;
    ZOV_ResetDegradedReports();
    for (int i = 0; i < 130; ++i) {
        const std::string object = "key file /tmp/f" + std::to_string(i);
        for (int repeat = 0; repeat < 2; ++repeat)
            ZOV_ReportDegraded(ZOV_Degraded::kRefusal, "fill", object.c_str(), "planted");
    }
    for (int repeat = 0; repeat < 1000; ++repeat)
        ZOV_ReportDegraded(ZOV_Degraded::kAreaFull, "raise", "/tmp/new.zovcstar");
    EXPECT_EQ(log.withNumber(ZOV_MSG_REFUSED).size(), 130u);
    EXPECT_EQ(log.containing("/tmp/new.zovcstar").size(), 1u);
    ZOV_ResetDegradedReports();
}
