// Another local user (a child switched to an unprivileged uid) plants links at
// key files, or a segment, semaphore set or queue under the broker's keys:
// each is refused with one line naming it, left untouched, nothing is made
// through a link, and the node passes its messages on. Also two concurrent
// releases of one stale lock beside a live waiter.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/reliability_support.h"
#include "tools/lumenaview_locks.h"
#include "zov/zovcdegr.h"
#include "zov/zovcmutx.h"

namespace {

// Milliseconds the calling thread sleeps before a semop of two operations:
// the viewer's raise of a stale lock.
thread_local int delayBeforeRaise = 0;

}  // namespace

extern "C" int semop(int id, struct sembuf* operations, size_t count) {
    using Semop = int (*)(int, struct sembuf*, size_t);
    static const auto real = reinterpret_cast<Semop>(dlsym(RTLD_NEXT, "semop"));
    if (count == 2 && delayBeforeRaise > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayBeforeRaise));
    return real(id, operations, count);
}

namespace {

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
    const char* what;
    std::string refused;                   // the file the refusal names
    std::function<bool(key_t)> plant;      // the other user's step, given the file's key
    std::function<bool(key_t)> untouched;  // while the node lives and after
    bool link = false;                     // planted at the file itself: no key
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

const Plant kPlants[] = {
    {"link at the segment's key file", kSegmentFile,
     [](key_t) { return symlink(kLinkTarget.c_str(), kSegmentFile.c_str()) == 0; },
     [](key_t) { return plantedLinkIntact(kSegmentFile); }, true},
    {"link at the segment mutex's key file", kSegmentMutexFile,
     [](key_t) { return symlink(kLinkTarget.c_str(), kSegmentMutexFile.c_str()) == 0; },
     [](key_t) { return plantedLinkIntact(kSegmentMutexFile); }, true},
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
    ASSERT_TRUE(asOtherUser([&] { return plant.plant(key); })) << "planting failed";

    standin::LogSink log;
    auto plugin = zovtest::loadPlugin();
    auto node = plugin->createNode({kBroker, "EG", "F", "n"});
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("label", "planted");
    node->setAttribute("type", "input");
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(node->evaluate(&message).propagations, 1);

    const auto refusals = log.withNumber(ZOV_MSG_REFUSED);
    ASSERT_EQ(refusals.size(), 1u) << ::testing::PrintToString(zovtest::textsOf(log.all()));
    EXPECT_NE(refusals[0].text.find(plant.refused + " "), std::string::npos) << refusals[0].text;
    EXPECT_NE(refusals[0].text.find("user 65534"), std::string::npos) << refusals[0].text;
    EXPECT_TRUE(plant.untouched(key));
    node.reset();
    plugin.reset();
    EXPECT_TRUE(plant.untouched(key)) << "after the node's cleanup";
}

INSTANTIATE_TEST_SUITE_P(OtherUser, PlantedTest, ::testing::ValuesIn(kPlants),
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
    int held[2], go[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(go), 0);
    const int waiter = zovtest::forkChild([&] {
        ZOV_Name_Mutex mutex("zovtest_stale");
        mutex.get();
        char byte = 'h';
        if (write(held[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1)
            return 1;
        mutex.release();
        mutex.cleanup();
        return 0;
    });
    const int semaphoreId = lumenaview::inspectLock(keyFile).semaphoreId;
    ASSERT_GE(semaphoreId, 0);
    while (semctl(semaphoreId, 0, GETNCNT) < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    lumenaview::ReleaseOutcome outcomes[2];
    std::thread operators[2];
    for (int i = 0; i < 2; ++i) {
        operators[i] = std::thread([&, i] {
            delayBeforeRaise = 100 + 200 * i;  // both look before either raises
            std::istringstream in;
            std::ostringstream out, err;
            outcomes[i] = lumenaview::releaseStale(keyFile, true, in, out, err);
        });
    }
    for (auto& thread : operators)
        thread.join();
    char byte = 0;
    ASSERT_EQ(read(held[0], &byte, 1), 1);
    EXPECT_EQ(semctl(semaphoreId, 0, GETVAL), 0) << "the waiter's hold was broken";
    EXPECT_EQ((outcomes[0] == lumenaview::ReleaseOutcome::kReleased) +
                  (outcomes[1] == lumenaview::ReleaseOutcome::kReleased),
              1);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(zovtest::waitChild(waiter), 0);
    for (int fd : {held[0], held[1], go[0], go[1]})
        close(fd);
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
        const pid_t holder = fork();
        if (holder == 0) {
            mutex.get();
            if (c.stop)
                raise(SIGSTOP);
            _exit(0);
        }
        siginfo_t end = {};  // until it has stopped or ended; a zombie stays
        waitid(P_PID, holder, &end, WSTOPPED | WEXITED | (c.reap ? 0 : WNOWAIT));
        const lumenaview::LockView lock = lumenaview::inspectLock(keyFile);
        EXPECT_EQ(lock.lastProcess, c.shown);
        EXPECT_EQ(lock.state, c.state) << c.shown;
        if (!c.reap) {  // never signal a reaped child's pid: it may be reused
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
    }
}

}  // namespace
