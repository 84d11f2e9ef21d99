// End to end: the library loaded by brokerhost into execution-group processes
// with several flow threads each, read back by the viewer once the workload is
// done and between the stops of the groups; the viewer must agree with what the
// host reports it sent to the byte and the millisecond. The programs share the
// test's sandbox, so every IPC object seen here is theirs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "broker/deployment.h"
#include "support/host_programs.h"
#include "support/ipc_support.h"

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr double kRunLimit = 180;  // seconds; generous: the machine may be busy

// Event data area with the default area size: (32768 - 64) / 208 records.
constexpr int kAreaHeader = 64, kEventRecord = 208;
constexpr int kEventCapacity = (32768 - kAreaHeader) / kEventRecord;

struct Sent {
    long evaluated = 0, rethrown = 0, reachedEnd = 0;
    long long sizeMin = 0, sizeMax = 0, sizeSum = 0, queuedLowMs = 0, queuedHighMs = 0;
};

std::map<std::string, Sent> parseFigures(const std::string& out) {
    std::map<std::string, Sent> figures;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        char path[256] = {};
        Sent s;
        if (std::sscanf(line.c_str(),
                        "%255[^:]: %ld evaluated, %ld rethrown, %ld reached the end; sizes "
                        "%lld..%lld sum %lld; queued %lld..%lld ms",
                        path, &s.evaluated, &s.rethrown, &s.reachedEnd, &s.sizeMin, &s.sizeMax,
                        &s.sizeSum, &s.queuedLowMs, &s.queuedHighMs) == 9) {
            figures[path] = s;
        }
    }
    return figures;
}

// The group, flow or node at "G", "G/F" or "G/F/N" of a broker's document.
Json at(const Json& broker, const std::string& path) {
    static const char* const kLevels[] = {"execution_groups", "message_flows", "nodes"};
    Json here = broker;
    std::istringstream labels(path);
    int level = 0;
    for (std::string label; std::getline(labels, label, '/'); ++level) {
        Json next;
        for (const Json& item : here[kLevels[level]])
            next = item["label"] == label ? item : next;
        here = next;
    }
    return here;
}

// "2024-05-01T10:20:30+02:00" as seconds since 1970.
int64_t isoSeconds(const Json& iso) {
    std::tm t{};
    strptime(iso.get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%S%z", &t);
    return static_cast<int64_t>(timegm(&t)) - t.tm_gmtoff;
}

pid_t spawn(std::vector<std::string> argv, const std::string& out, const std::string& err) {
    return zovtest::forkChild([&] {
        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        execv(args[0], args.data());
        return 127;
    });
}

struct Host {
    Host(const std::string& name, const std::string& deployment) : dir("/tmp/e2e/" + name) {
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/deployment.conf") << deployment;
    }
    void start(std::vector<std::string> options) {
        options.insert(options.begin(), {ZOV_BROKERHOST_PATH, "--log", dir + "/host.log"});
        options.insert(options.end(), {ZOV_PLUGIN_PATH, dir + "/deployment.conf"});
        pid = spawn(options, dir + "/host.out", dir + "/host.err");
    }
    // A command for --then or --between-stops saving the viewer's TAG.json and
    // TAG.locks; the host's shell expands variables in `tag`.
    std::string snapshot(const std::string& tag) const {
        const std::string viewer = ZOV_LUMENAVIEW_PATH;
        return viewer + " -f json -e >" + dir + "/" + tag + ".json; " + viewer +
               " --locks -f json >" + dir + "/" + tag + ".locks";
    }
    std::string file(const std::string& name) const {
        std::ifstream in(dir + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    Json shown(const std::string& tag) const {
        const Json document = Json::parse(file(tag + ".json"), nullptr, false);
        return document.is_array() && !document.empty() ? document[0] : Json();
    }

    const std::string dir;
    pid_t pid = -1;
};

// Run once for all the GroupProcesses tests: two execution-group processes with
// four flow threads each, 40000 messages; a group waiting on the wall clock and
// one spending processor time, each alone in its process.
constexpr char kGroups[] = R"([broker]
name = E2E_BROKER
uuid = e2e-groups
[workload]
threads = 4
messages = 5000
[group EG1]
[group EG2]
[flow EG1/Orders]
size = 364-16384
age = 0.25
throw = 0.01
[node EG1/Orders/In]
type = input
[node EG1/Orders/Route]
type = other
eventMessage = order routed
[node EG1/Orders/Out]
type = output
collectQueueTime = no
[flow EG2/BillingRunFlow]
size = 1000-2000
age = 1.5
throw = 0.02
[node EG2/BillingRunFlow/Bill]
type = input
eventMessage = bill seen
[group SLEEPER]
[flow SLEEPER/Naps]
messages = 25
wait = 20000
[node SLEEPER/Naps/Nap]
type = other
[group WORKER]
[flow WORKER/Work]
threads = 1
messages = 40
cpu = 5000
[node WORKER/Work/Work]
type = other
)";

struct Planned {
    std::string flow, type, event;
    bool queueTime;
    standin::Workload work;
};

// What the deployment plans for each node, by "G/F/N".
std::map<std::string, Planned> plannedNodes(const char* text) {
    standin::Deployment deployment;
    standin::DeploymentError error;
    std::istringstream in(text);
    EXPECT_TRUE(standin::parseDeployment(in, deployment, error)) << error.message;
    std::map<std::string, Planned> nodes;
    for (const standin::GroupSpec& g : deployment.groups) {
        for (const standin::FlowSpec& f : g.flows) {
            for (const standin::NodeSpec& n : f.nodes) {
                std::map<std::string, std::string> set(n.attributes.begin(), n.attributes.end());
                nodes[g.name + "/" + f.name + "/" + n.name] = {
                    g.name + "/" + f.name, set["type"], set["eventMessage"],
                    set["collectQueueTime"] != "no", f.workload};
            }
        }
    }
    return nodes;
}

class GroupProcesses : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        nodes = plannedNodes(kGroups);
        Host host("groups", kGroups);
        started = time(nullptr);
        host.start({"--fork-groups", "--then", host.snapshot("idle"), "--between-stops",
                    host.snapshot("stop-$BROKERHOST_STOPPED")});
        ending = zovtest::waitChildWithin(host.pid, kRunLimit);
        sent = parseFigures(host.file("host.out"));
        idle = host.shown("idle");
        afterFirstStop = host.shown("stop-EG1");
        locksWhileIdle = Json::parse(host.file("idle.locks"), nullptr, false);
        hostErr = host.file("host.err");
        hostLog = host.file("host.log");
        leftovers = zovtest::allIpcObjects();
        keyFilesLeft = zovtest::keyFileCount();
    }
    void SetUp() override { ASSERT_FALSE(idle.is_null() || afterFirstStop.is_null()) << hostErr; }

    static inline std::map<std::string, Planned> nodes;  // by "G/F/N"
    static inline std::map<std::string, Sent> sent;      // by "G/F"
    static inline Json idle, afterFirstStop;             // every node idle; EG1 stopped, EG2 not
    static inline Json locksWhileIdle;
    static inline zovtest::Ending ending;
    static inline std::string hostErr, hostLog;
    static inline std::vector<zovtest::IpcObject> leftovers;
    static inline int keyFilesLeft = -1;
    static inline int64_t started = 0;
};

// Every failure went back to the host; nothing was logged. Each node's figures
// are what the host sent through it; queued times lie between the descriptor's put
// time and the host's clock around the evaluation (truncated: one below may occur).
TEST_F(GroupProcesses, FiguresInTheAreaAreExact) {
    EXPECT_TRUE(ending.succeeded()) << ending.describe() << hostErr;
    EXPECT_EQ(hostLog, "");
    const auto range = [](const Json& f) { return Json{f["sum"], f["min"], f["max"]}; };
    for (const auto& [path, node] : nodes) {
        SCOPED_TRACE(path);
        ASSERT_EQ(sent.count(node.flow), 1u);
        const Sent& s = sent.at(node.flow);
        const long throwing = static_cast<long>(node.work.messages * node.work.throwFraction);
        EXPECT_EQ(s.evaluated, node.work.threads * node.work.messages);
        EXPECT_EQ(s.rethrown, node.work.threads * throwing);
        EXPECT_EQ(s.reachedEnd, s.evaluated - s.rethrown);
        EXPECT_GE(s.queuedLowMs, std::lround(node.work.ageSeconds * 1000) - 10);
        const Json here = at(idle, path);
        EXPECT_EQ(Json({here["type"], here["deleted"]}), Json({node.type, false}));
        const Json& stats = here["statistics"];
        EXPECT_EQ(stats["messages"], s.evaluated);
        EXPECT_EQ(range(stats["size_bytes"]), Json({s.sizeSum, s.sizeMin, s.sizeMax}));
        EXPECT_GE(isoSeconds(stats["first_collection"]), started);
        EXPECT_LE(isoSeconds(stats["first_collection"]), isoSeconds(stats["last_collection"]));
        EXPECT_LE(isoSeconds(stats["last_collection"]), idle["snapshot"]["unix"].get<int64_t>());
        if (!node.queueTime) {  // not collected: absent, not 0
            EXPECT_TRUE(stats["queued_ms"].is_null()) << stats;
            continue;
        }
        for (const char* figure : {"min", "avg", "max"}) {
            EXPECT_GE(stats["queued_ms"][figure].get<double>(), s.queuedLowMs - 1) << figure;
            EXPECT_LE(stats["queued_ms"][figure].get<double>(), s.queuedHighMs) << figure;
        }
    }
}

// The number of a message in its flow thread: the last 8 bytes of its id.
long messageNumber(const std::string& hex) {
    return std::stol(hex.substr(32, 16), nullptr, 16);
}

// A descriptor's put date and time (UTC, "YYYYMMDD", "HHMMSSTH") in seconds.
double putSeconds(const std::string& date, const std::string& time) {
    std::tm t{};
    strptime((date + time.substr(0, 6)).c_str(), "%Y%m%d%H%M%S", &t);
    return static_cast<double>(timegm(&t)) + std::stoi(time.substr(6, 2)) / 100.0;
}

// Every event posted went to the data area once (the fill level follows from their
// number); the survivors are whole, linked to their template, with their descriptor.
TEST_F(GroupProcesses, EventDataAreaHoldsTheExpectedEventsWrapping) {
    long posted = 0;
    for (const auto& [path, node] : nodes) {  // every node records a rethrow
        const Sent& s = sent.at(node.flow);
        posted += (node.event.empty() ? 0 : s.evaluated) + s.rethrown;
    }
    ASSERT_GT(posted, kEventCapacity);
    Json data;
    for (const Json& area : idle["areas"])
        data = area["eyecatcher"] == "zovcedar" ? area : data;
    EXPECT_EQ(data["last_offset"], kAreaHeader + kEventCapacity * kEventRecord);
    EXPECT_EQ(data["next_offset"],
              kAreaHeader + ((posted - 1) % kEventCapacity + 1) * kEventRecord);

    const Json& events = idle["events"];
    ASSERT_EQ(events.size(), static_cast<size_t>(kEventCapacity));
    std::set<std::string> ids;  // a message's events at one node differ by their text
    for (const Json& e : events) {
        const Json& t = e["template"];
        ASSERT_TRUE(t.is_object()) << e.dump();
        ids.insert(e["message_id"].dump() + t["node"].dump() + t["text"].dump());
        const std::string flow =
            t["execution_group"].get<std::string>() + "/" + t["message_flow"].get<std::string>();
        const auto node = nodes.find(flow + "/" + t["node"].get<std::string>());
        ASSERT_NE(node, nodes.end()) << e.dump();
        const Planned& planned = node->second;
        EXPECT_EQ(t["node_type"], planned.type);
        if (t["text"] != planned.event) {
            EXPECT_EQ(t["text"], "Exception found in brokerhost(" + flow + "). simulated failure");
            EXPECT_TRUE(standin::throwsDownstream(messageNumber(e["message_id"]),
                                                  planned.work.throwFraction))
                << e.dump();
        }
        EXPECT_EQ(Json({e["put_appl_name"], e["put_appl_type"]}), Json({"brokerhost", 6}));
        EXPECT_NEAR(isoSeconds(e["event_time"]) - putSeconds(e["put_date"], e["put_time"]),
                    planned.work.ageSeconds, 1.5)
            << e.dump();
    }
    EXPECT_EQ(ids.size(), events.size()) << "events sharing a message id";
}

// Between messages no lock is held and every named mutex has its handles; a
// stopped group's nodes are marked deleted with their figures; after the last
// process nothing is left.
TEST_F(GroupProcesses, NothingLockedWhileIdleStoppedGroupsDeletedNothingLeftAtTheEnd) {
    ASSERT_TRUE(locksWhileIdle.is_array() && !locksWhileIdle.empty()) << locksWhileIdle;
    for (const Json& lock : locksWhileIdle)
        EXPECT_TRUE(lock["state"] == "free" && lock["handles"] >= 1) << lock;
    EXPECT_TRUE(leftovers.empty()) << leftovers.size() << " IPC objects left";
    EXPECT_EQ(keyFilesLeft, 0);
    EXPECT_EQ(at(idle, "EG1")["process"], "alive");
    EXPECT_EQ(at(afterFirstStop, "EG1")["process"], "gone");
    EXPECT_EQ(at(afterFirstStop, "EG2")["process"], "alive");
    for (const auto& [path, node] : nodes) {
        const Json was = at(idle, path), now = at(afterFirstStop, path);
        EXPECT_EQ(now["deleted"], path.starts_with("EG1/")) << path;
        EXPECT_EQ(now["record_id"], was["record_id"]) << path;
        EXPECT_EQ(now["statistics"]["messages"], was["statistics"]["messages"]) << path;
    }
}

// A flow waiting 20 ms of wall-clock time per message and one spending 5 ms of
// processor time downstream.
TEST_F(GroupProcesses, ElapsedTimesAreProcessorTimesOfTheProcess) {
    const Json napped = at(idle, "SLEEPER/Naps/Nap")["statistics"];
    EXPECT_LT(napped["elapsed_ms"]["max"], 10) << "a wall-clock wait counted as processor time";
    EXPECT_LT(napped["elapsed_ms"]["sum"], 100 * 2);
    EXPECT_GE(at(idle, "WORKER/Work/Work")["statistics"]["elapsed_ms"]["min"], 4)
        << "processor time spent downstream not counted";
}

// README.md's deployment example runs, its names reach the viewer intact, and
// SIGTERM to brokerhost stops every group process and leaves nothing behind.
TEST(EndToEnd, ReadmeExampleRunsShowsItsNamesAndStopsOnSigterm) {
    std::ifstream readme(ZOV_SOURCE_DIR "/README.md");
    const std::string text((std::istreambuf_iterator<char>(readme)), {});
    const size_t start = text.find("```ini\n") + 7;
    Host host("readme", text.substr(start, text.find("```", start) - start));
    host.start({"--fork-groups"});
    Json v;
    for (int i = 0;
         i < 200 && !(v["execution_groups"].size() == 2 && v["sums"]["input"]["messages"] > 0);
         ++i) {
        std::this_thread::sleep_for(50ms);
        zovtest::waitChildWithin(
            spawn({ZOV_LUMENAVIEW_PATH, "-f", "json"}, host.dir + "/now.json", "/dev/null"),
            kRunLimit);
        v = host.shown("now");
    }
    EXPECT_FALSE(at(v, "ORDERS/OrderFlow/Zustellung-配送-🚚").is_null()) << v.dump();
    kill(host.pid, SIGTERM);
    const zovtest::Ending ending = zovtest::waitChildWithin(host.pid, 20);
    EXPECT_EQ(ending.code, 128 + SIGTERM) << ending.describe() << host.file("host.err");
    for (const Json& group : v["execution_groups"]) {
        EXPECT_NE(kill(group["process_id"].get<int>(), SIGKILL), 0) << "a group process was left";
    }
    EXPECT_TRUE(zovtest::allIpcObjects().empty());
    EXPECT_EQ(zovtest::keyFileCount(), 0);
}

}  // namespace
