// The reader beside a running broker while another local user (uid 65534)
// and a broker user gone astray (uid 65533, named with --broker-user) plant
// key files, segments and locks: each plant is refused and reported once in
// text, JSON and metrics, nothing planted is counted or offered for release,
// and the broker's own figures are still shown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "tools/lumenaview_app.h"

namespace {

constexpr uid_t kAttacker = 65534;
constexpr uid_t kBrokerUser = 65533;
const std::string kVictimFile = "/tmp/trust-uuid.zovcshme";
constexpr size_t kPlantedSize = 512u << 20;

bool as(uid_t user, const std::function<bool()>& steps) {
    return zovtest::runInChild([&] {
               if (setgid(user) != 0 || setuid(user) != 0)
                   return 2;
               return steps() ? 0 : 1;
           }) == 0;
}

bool makeFile(const std::string& path) {
    return close(open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644)) == 0;
}

// A segment under the key file of `path`, beginning with `bytes`.
bool makeSegment(const std::string& path, size_t size, int mode, const std::string& bytes) {
    const int id = shmget(ftok(path.c_str(), 1), size, IPC_CREAT | IPC_EXCL | mode);
    void* address = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
        return false;
    bytes.copy(static_cast<char*>(address), bytes.size());
    return shmdt(address) == 0;
}

// A file whose inode has the low 16 bits of the victim's: the same key.
bool collidingFile(const std::string& path) {
    struct stat victim = {}, made = {};
    if (stat(kVictimFile.c_str(), &victim) != 0)
        return false;
    const std::string candidate = path + ".try";
    for (int attempt = 0; attempt < (1 << 17); ++attempt) {
        if (!makeFile(candidate) || stat(candidate.c_str(), &made) != 0)
            return false;
        if ((made.st_ino & 0xFFFF) == (victim.st_ino & 0xFFFF))
            return rename(candidate.c_str(), path.c_str()) == 0;
        unlink(candidate.c_str());
    }
    return false;
}

// A semaphore set at 0 whose last operator has ended, and 200 links to it.
bool forgedStaleLock(const std::string& path) {
    sembuf up = {0, 1, 0}, down = {0, -1, 0};
    const int id = makeFile(path) ? semget(ftok(path.c_str(), 1), 1, IPC_CREAT | 0666) : -1;
    bool made = id >= 0 && semop(id, &up, 1) == 0 && semop(id, &down, 1) == 0;
    for (int i = 0; i < 200; ++i)
        made = made &&
               symlink(path.c_str(), ("/tmp/alias" + std::to_string(i) + ".zovmutx").c_str()) == 0;
    return made;
}

struct Plant {
    std::string keyFile;
    std::string reason;
    std::function<bool(const std::string& victimBytes)> plant;
};

const std::vector<Plant> kPlants = {
    {"/tmp/forged.zovcshme", "key_file_owner",
     [](const std::string& bytes) {
         return as(kAttacker, [&] {
             return makeFile("/tmp/forged.zovcshme") &&
                    makeSegment("/tmp/forged.zovcshme", bytes.size(), 0644, bytes);
         });
     }},
    {"/tmp/open.zovcshme", "object_mode",
     [](const std::string& bytes) {
         return as(kBrokerUser, [&] {
             return makeFile("/tmp/open.zovcshme") &&
                    makeSegment("/tmp/open.zovcshme", bytes.size(), 0644, bytes);
         });
     }},
    {"/tmp/theirs.zovcshme", "object_owner",
     [](const std::string& bytes) {
         return as(kBrokerUser, [] { return makeFile("/tmp/theirs.zovcshme"); }) &&
                as(kAttacker,
                   [&] { return makeSegment("/tmp/theirs.zovcshme", bytes.size(), 0660, bytes); });
     }},
    {"/tmp/ghost.zovcshme", "key_file_link",
     [](const std::string&) {
         return as(kAttacker,
                   [] { return symlink(kVictimFile.c_str(), "/tmp/ghost.zovcshme") == 0; });
     }},
    {"/tmp/huge.zovcshme", "segment_size",
     [](const std::string& bytes) {
         std::string header = bytes.substr(0, 64);
         header.replace(12, 4, reinterpret_cast<const char*>(&kPlantedSize), 4);
         return as(kBrokerUser, [&] {
             return makeFile("/tmp/huge.zovcshme") &&
                    makeSegment("/tmp/huge.zovcshme", kPlantedSize, 0660, header);
         });
     }},
    {"/tmp/forged.zovmutx", "key_file_owner",
     [](const std::string&) {
         return as(kAttacker, [] { return forgedStaleLock("/tmp/forged.zovmutx"); });
     }},
    // Last: it moves the inode numbers of new files round to the broker's own.
    {"/tmp/collide.zovcshme", "shared_segment",
     [](const std::string&) {
         return as(kBrokerUser, [] { return collidingFile("/tmp/collide.zovcshme"); });
     }},
};

std::pair<int, std::string> view(std::vector<const char*> arguments,
                                 std::string* errors = nullptr) {
    arguments.insert(arguments.begin(), {"lumenaview", "--broker-user", "65533"});
    std::ostringstream out, err;
    std::istringstream in;
    const int code = lumenaview::runLumenaview(static_cast<int>(arguments.size()), arguments.data(),
                                               out, err, false, in);
    if (errors != nullptr)
        *errors = err.str();
    return {code, out.str()};
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

class ReaderTrust : public ::testing::Test {
  protected:
    void TearDown() override { zovtest::removeLeftovers(); }
};

TEST_F(ReaderTrust, PlantsBesideARunningBrokerAreRefusedReportedAndTheBrokerStillShown) {
    zovtest::configure("ZOVMemorySize 4096\n");
    ASSERT_TRUE(standin::writeBrokerRegistry("TRUSTBRK", "trust-uuid"));
    auto plugin = zovtest::loadPlugin();
    auto node = plugin->createNode({"TRUSTBRK", "EG", "F", "n"});
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("label", "n");
    node->setAttribute("type", "input");
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    for (int i = 0; i < 3; ++i)
        node->evaluate(&message);
    const int victim = shmget(ftok(kVictimFile.c_str(), 1), 0, 0);
    struct shmid_ds state = {};
    ASSERT_EQ(shmctl(victim, IPC_STAT, &state), 0);
    const auto* live = static_cast<const char*>(shmat(victim, nullptr, SHM_RDONLY));
    const std::string victimBytes(live, state.shm_segsz);
    shmdt(live);
    for (const Plant& plant : kPlants)
        ASSERT_TRUE(plant.plant(victimBytes)) << "planting " << plant.keyFile;

    std::string errors;
    const auto [code, metrics] = view({"-f", "prometheus"}, &errors);
    EXPECT_EQ(code, 1) << errors;
    EXPECT_EQ(occurrences(metrics, "lumena_broker_up{"), 1u) << metrics;
    EXPECT_EQ(
        occurrences(metrics, "lumena_broker_up{broker=\"TRUSTBRK\",broker_uuid=\"trust-uuid\"} 1"),
        1u);
    EXPECT_EQ(occurrences(metrics, "lumena_node_messages_total{"), 1u);
    EXPECT_NE(metrics.find("node_type=\"input\"} 3\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nlumena_brokers 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nlumena_brokers_refused 6\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nlumena_stale_locks 0\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nlumena_locks_refused 201\n"), std::string::npos);
    const auto [jsonCode, json] = view({"-f", "json"});
    const nlohmann::json brokers = nlohmann::json::parse(json);
    const std::string text = view({}).second;
    for (const Plant& plant : kPlants) {
        if (plant.keyFile.ends_with(".zovmutx"))
            continue;
        EXPECT_EQ(occurrences(metrics, "lumena_broker_refused{keyfile=\"" + plant.keyFile +
                                           "\",reason=\"" + plant.reason + "\"} 1\n"),
                  1u)
            << plant.keyFile;
        EXPECT_EQ(occurrences(errors, plant.keyFile), 1u) << errors;
        EXPECT_EQ(
            occurrences(text, "REFUSED key file " + plant.keyFile + " (" + plant.reason + ")"), 1u);
        EXPECT_EQ(std::count_if(brokers.begin(), brokers.end(),
                                [&](const nlohmann::json& b) {
                                    return b["key_file"] == plant.keyFile &&
                                           b["refused"] == plant.reason;
                                }),
                  1);
    }

    const auto [locksCode, locks] = view({"--locks"});
    EXPECT_EQ(occurrences(locks, "REFUSED (key_file_owner): the key file is of user 65534"), 1u);
    EXPECT_EQ(occurrences(locks, "REFUSED (key_file_link)"), 200u);
    EXPECT_EQ(locks.find("STALE"), std::string::npos) << locks;
    EXPECT_TRUE(as(kAttacker, [] {
        const std::string theirs = view({"--locks"}).second;
        return theirs.find("permission denied") != std::string::npos &&
               theirs.find("no-objects") == std::string::npos;
    })) << "the broker's mutexes, as another user sees them";
    EXPECT_EQ(view({"--release-stale", "/tmp/forged.zovmutx", "-y"}).first, 1);
    EXPECT_EQ(semctl(semget(ftok("/tmp/forged.zovmutx", 1), 0, 0), 0, GETVAL), 0) << "released";

    node.reset();
    plugin.reset();
}
