// End to end: the node library loaded by the host program (the stand-in
// broker) into execution-group processes with several flow threads each, and
// the shared memory read back by the viewer as the monitoring agent reads it.
// The host reports what it sent (counts, exact sizes, the range each queued
// time must lie in); the viewer's JSON must agree to the byte and the
// millisecond. Also: stopping, and a process killed with SIGKILL.
//
// The test program runs inside zovsandbox; the programs it starts share its
// private /tmp, /opt, /var and IPC namespace, so every IPC object listed here
// belongs to them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "broker/deployment.h"
#include "support/host_programs.h"
#include "support/ipc_support.h"

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using zovtest::Ending;
using zovtest::PausePoints;
using zovtest::Program;

constexpr char kHost[] = ZOV_BROKERHOST_PATH;
constexpr char kViewer[] = ZOV_LUMENAVIEW_PATH;
constexpr char kPlugin[] = ZOV_PLUGIN_PATH;

// Generous: the machine running the suite may be busy.
constexpr auto kRunLimit = 180s;

// Event data area with the default area size: (32768 - 64) / 208 records.
constexpr int kAreaHeader = 64;
constexpr int kEventRecord = 208;
constexpr int kEventCapacity = (32768 - kAreaHeader) / kEventRecord;

// ---------------------------------------------------------------------------
// A deployment described once, written as the host's deployment file and used
// for the expectations.

struct NodePlan {
    std::string name;
    std::string type;                // "input", "output" or "other"
    std::string eventMessage = "";  // empty: no event per message
    bool queueTime = true;
};

struct FlowPlan {
    std::string group, name;
    int threads;
    long messages;
    std::string size = "364";
    double age = 0;
    double throwShare = 0;
    long cpuMicros = 0;
    long waitMicros = 0;
    std::vector<NodePlan> nodes = {};

    std::string path() const { return group + "/" + name; }
    long throwingPerThread() const {
        return static_cast<long>(std::floor(static_cast<double>(messages) * throwShare));
    }
    const NodePlan* node(const std::string& label) const {
        for (const NodePlan& n : nodes) {
            if (n.name == label)
                return &n;
        }
        return nullptr;
    }
};

struct Plan {
    std::string broker, uuid;
    std::vector<FlowPlan> flows;

    std::string text() const {
        std::ostringstream out;
        out << "[broker]\nname = " << broker << "\nuuid = " << uuid << "\n";
        std::set<std::string> groups;
        for (const FlowPlan& f : flows)
            out << (groups.insert(f.group).second ? "[group " + f.group + "]\n" : "");
        for (const FlowPlan& f : flows) {
            out << "[flow " << f.path() << "]\nthreads = " << f.threads
                << "\nmessages = " << f.messages << "\nsize = " << f.size << "\nage = " << f.age
                << "\nthrow = " << f.throwShare << "\ncpu = " << f.cpuMicros
                << "\nwait = " << f.waitMicros << "\n";
            for (const NodePlan& n : f.nodes) {
                out << "[node " << f.path() << "/" << n.name << "]\ntype = " << n.type
                    << "\ncollectQueueTime = " << (n.queueTime ? "yes" : "no") << "\n";
                if (!n.eventMessage.empty())
                    out << "eventMessage = " << n.eventMessage << "\n";
            }
        }
        return out.str();
    }
};

// ---------------------------------------------------------------------------
// What the host printed about one flow.

struct Sent {
    long evaluated = 0, rethrown = 0, reachedEnd = 0;
    long long sizeSum = 0, sizeMin = 0, sizeMax = 0;
    long long queuedLowMs = 0, queuedHighMs = 0;
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

// ---------------------------------------------------------------------------
// The viewer's JSON document of a broker.

Json view(const std::string& uuid) {
    std::string out, err;
    const Ending ending =
        zovtest::runProgram({kViewer, "-f", "json", "-e", "-b", uuid}, 60s, out, err);
    EXPECT_TRUE(ending.succeeded()) << "lumenaview " << ending.describe() << ": " << err;
    Json document = Json::parse(out, nullptr, false);
    EXPECT_TRUE(document.is_array() && document.size() == 1) << out;
    return document.is_array() && document.size() == 1 ? document[0] : Json::object();
}

// The group, flow or node at "G", "G/F" or "G/F/N"; the broker at "".
const Json* at(const Json& v, const std::string& path) {
    static const char* const kLevels[] = {"execution_groups", "message_flows", "nodes"};
    const Json* here = &v;
    std::stringstream labels(path);
    int level = 0;
    for (std::string label; std::getline(labels, label, '/');) {
        const auto items = here->find(kLevels[level++]);
        if (items == here->end())
            return nullptr;
        const Json* next = nullptr;
        for (const Json& item : *items)
            next = next == nullptr && item.value("label", "") == label ? &item : next;
        if (next == nullptr)
            return nullptr;
        here = next;
    }
    return here;
}

const Json* area(const Json& v, const std::string& eyecatcher) {
    for (const Json& a : v["areas"]) {
        if (a["eyecatcher"] == eyecatcher)
            return &a;
    }
    return nullptr;
}

// The bytes of a hexadecimal field up to the first zero byte.
std::string textOfHex(const std::string& hex) {
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const char c = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

// "2024-05-01T10:20:30Z" as seconds since 1970.
int64_t isoSeconds(const std::string& iso) {
    std::tm t{};
    strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S%z", &t);
    return static_cast<int64_t>(timegm(&t)) - t.tm_gmtoff;
}

// A descriptor's put date and time (UTC) as milliseconds since 1970.
int64_t putMilliseconds(const std::string& date, const std::string& time) {
    std::tm t{};
    t.tm_year = std::stoi(date.substr(0, 4)) - 1900;
    t.tm_mon = std::stoi(date.substr(4, 2)) - 1;
    t.tm_mday = std::stoi(date.substr(6, 2));
    t.tm_hour = std::stoi(time.substr(0, 2));
    t.tm_min = std::stoi(time.substr(2, 2));
    t.tm_sec = std::stoi(time.substr(4, 2));
    return static_cast<int64_t>(timegm(&t)) * 1000 + std::stoi(time.substr(6, 2)) * 10;
}

// ---------------------------------------------------------------------------
// One run of the host program in a directory of its own (made by the pause
// points' script).

class HostRun {
  public:
    HostRun(const std::string& name, const Plan& plan)
        : dir("/tmp/e2e/" + name), pauses(dir) {
        zovtest::writeFile(dir + "/deployment.conf", plan.text());
    }

    // Starts the host with the given options before the plug-in and deployment.
    void start(std::vector<std::string> options) {
        std::vector<std::string> argv{kHost, "--log", dir + "/host.log"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(kPlugin);
        argv.push_back(dir + "/deployment.conf");
        program = std::make_unique<Program>(argv, dir + "/host.out", dir + "/host.err");
        ASSERT_TRUE(program->started());
    }
    bool pausedAt(const std::string& tag) {
        return pauses.waitUntilPaused(tag, *program, kRunLimit);
    }
    Ending finish() { return program->wait(kRunLimit); }
    std::string out() const { return zovtest::readFile(dir + "/host.out"); }
    std::string err() const { return zovtest::readFile(dir + "/host.err"); }
    std::string log() const { return zovtest::readFile(dir + "/host.log"); }

    const std::string dir;
    PausePoints pauses;
    std::unique_ptr<Program> program;
};

// Semaphore sets whose value is not 1: a lock held by someone.
std::vector<int> heldSemaphores() {
    std::vector<int> held;
    for (const zovtest::IpcObject& sem : zovtest::ipcObjects("sem")) {
        if (zovtest::semaphoreValue(sem.id) != 1)
            held.push_back(sem.id);
    }
    return held;
}


// ---------------------------------------------------------------------------
// Two execution-group processes with four flow threads each, 40000 messages
// in the default suite. The run is made once; each test looks at one side.

Plan twoGroupPlan(long messagesPerThread) {
    Plan plan{"E2E_BROKER", "e2e-two-groups", {}};
    FlowPlan orders{"EG1", "Orders", 4, messagesPerThread};
    orders.size = "364-16384";
    orders.age = 0.25;
    orders.throwShare = 0.01;
    orders.nodes = {
        {"In", "input"}, {"Route", "other", "order routed"}, {"Out", "output", "", false}};
    FlowPlan bills{"EG2", "Bills", 4, messagesPerThread};
    bills.size = "1000-2000";
    bills.age = 1.5;
    bills.throwShare = 0.02;
    bills.nodes = {{"Bill", "input", "bill seen"}};
    plan.flows = {orders, bills};
    return plan;
}

struct TwoGroupResults {
    bool complete = false;
    Plan plan;
    std::map<std::string, Sent> sent;
    Json whileIdle;       // every node present, no message in flight
    Json afterFirstStop;  // EG1 stopped, EG2 still there
    std::vector<int> heldWhileIdle;
    std::vector<zovtest::IpcObject> queuesWhileIdle;
    Ending ending;
    std::string hostErr, hostLog;
    std::vector<zovtest::IpcObject> leftovers;
    int keyFilesLeft = -1;
    int64_t startMs = 0, endMs = 0;
};

// Runs the plan with the host pausing once the workload is done and again
// after the first group has stopped.
void runTwoGroups(TwoGroupResults& r) {
    HostRun run("two-groups", r.plan);
    r.startMs = zovtest::wallMilliseconds();
    run.start({"--fork-groups", "--then", run.pauses.command("idle"), "--between-stops",
               run.pauses.command("stop-$BROKERHOST_STOPPED")});
    if (!run.pausedAt("idle")) {
        r.hostErr = run.err();
        return;
    }
    r.endMs = zovtest::wallMilliseconds();
    r.sent = parseFigures(run.out());
    r.heldWhileIdle = heldSemaphores();
    r.queuesWhileIdle = zovtest::ipcObjects("msg");
    r.whileIdle = view(r.plan.uuid);
    run.pauses.resume("idle");
    if (!run.pausedAt("stop-EG1")) {
        r.hostErr = run.err();
        return;
    }
    r.afterFirstStop = view(r.plan.uuid);
    run.pauses.resume("stop-EG1");
    r.ending = run.finish();
    r.hostErr = run.err();
    r.hostLog = run.log();
    r.leftovers = zovtest::allIpcObjects();
    r.keyFilesLeft = zovtest::keyFileCount();
    r.complete = true;
}

class TwoGroupProcesses : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        results = new TwoGroupResults;
        results->plan = twoGroupPlan(5000);
        runTwoGroups(*results);
    }
    static void TearDownTestSuite() {
        delete results;
        results = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(results->complete) << results->hostErr; }

    static inline TwoGroupResults* results = nullptr;
};

TEST_F(TwoGroupProcesses, EveryFlowRanAndEveryFailureReachedTheBroker) {
    const TwoGroupResults& r = *results;
    EXPECT_TRUE(r.ending.succeeded()) << r.ending.describe() << r.hostErr;
    for (const FlowPlan& flow : r.plan.flows) {
        ASSERT_EQ(r.sent.count(flow.path()), 1u) << flow.path();
        const Sent& s = r.sent.at(flow.path());
        EXPECT_EQ(s.evaluated, flow.threads * flow.messages) << flow.path();
        // The node's rethrow unwound back through every node to the host.
        EXPECT_EQ(s.rethrown, flow.threads * flow.throwingPerThread()) << flow.path();
        EXPECT_EQ(s.reachedEnd, s.evaluated - s.rethrown) << flow.path();
    }
    // Nothing failed, and with tracing off nothing at all was logged.
    EXPECT_EQ(r.hostLog, "");
}

// Every node's figures are exactly what the host sent through it, and the
// sums the agent makes per flow, execution group and broker, by node type,
// add them up. Each queued time lies between the put time written into the
// descriptor and the wall clock read by the host around the evaluation; the
// node truncates to the millisecond, and its double arithmetic may land one
// below.
TEST_F(TwoGroupProcesses, FiguresInTheAreaAreExactAndAddUp) {
    const TwoGroupResults& r = *results;
    const Json& v = r.whileIdle;
    const auto range = [](const Json& figure) {
        return Json{figure["sum"], figure["min"], figure["max"]};
    };
    struct Sum {
        long long messages = 0, size = 0, min = INT64_MAX, max = 0;
    };
    std::map<std::string, std::map<std::string, Sum>> sums;  // scope -> slot -> sum
    for (const FlowPlan& flow : r.plan.flows) {
        const Sent& s = r.sent.at(flow.path());
        EXPECT_GE(s.queuedLowMs, std::lround(flow.age * 1000) - 10) << flow.path();
        for (const NodePlan& plan : flow.nodes) {
            SCOPED_TRACE(flow.path() + "/" + plan.name);
            for (const std::string& scope : {std::string(), flow.group, flow.path()}) {
                Sum& sum = sums[scope][plan.type];
                sum = {sum.messages + s.evaluated, sum.size + s.sizeSum,
                       std::min(sum.min, s.sizeMin), std::max(sum.max, s.sizeMax)};
            }
            const Json* node = at(v, flow.path() + "/" + plan.name);
            ASSERT_NE(node, nullptr);
            EXPECT_EQ((*node)["type"], plan.type);
            EXPECT_EQ((*node)["deleted"], false);
            const Json& stats = (*node)["statistics"];
            EXPECT_EQ(stats["messages"], s.evaluated);
            EXPECT_EQ(range(stats["size_bytes"]), Json({s.sizeSum, s.sizeMin, s.sizeMax}));
            const int64_t first = isoSeconds(stats["first_collection"]);
            const int64_t last = isoSeconds(stats["last_collection"]);
            EXPECT_GE(first, r.startMs / 1000);
            EXPECT_LE(first, last);
            EXPECT_LE(last, r.endMs / 1000 + 1);
            const Json& queued = stats["queued_ms"];
            if (!plan.queueTime) {
                EXPECT_EQ(queued["sum"], 0);
                EXPECT_EQ(queued["max"], 0);
                continue;
            }
            EXPECT_GE(queued["min"].get<long long>(), s.queuedLowMs - 1);
            EXPECT_LE(queued["max"].get<long long>(), s.queuedHighMs);
            EXPECT_GE(queued["avg"].get<double>(), static_cast<double>(s.queuedLowMs - 1));
            EXPECT_LE(queued["avg"].get<double>(), static_cast<double>(s.queuedHighMs));
        }
    }
    for (const auto& [scope, slots] : sums) {
        const Json* holder = at(v, scope);
        ASSERT_NE(holder, nullptr) << scope;
        for (const std::string slot : {"input", "output", "other"}) {
            SCOPED_TRACE(scope + " " + slot);
            const Json& figures = (*holder)["sums"][slot];
            const auto found = slots.find(slot);
            EXPECT_EQ(figures["messages"], found == slots.end() ? 0 : found->second.messages);
            if (found != slots.end()) {
                const Sum& sum = found->second;
                EXPECT_EQ(range(figures["size_bytes"]), Json({sum.size, sum.min, sum.max}));
            }
        }
    }
}

// Every event posted went to the data area exactly once: the area's fill
// level after all of them is fixed by their number. The survivors are whole,
// linked to the right template, and carry their message's descriptor.
TEST_F(TwoGroupProcesses, EventDataAreaHoldsTheExpectedEventsWrapping) {
    const TwoGroupResults& r = *results;
    long posted = 0;
    for (const FlowPlan& flow : r.plan.flows) {
        const Sent& s = r.sent.at(flow.path());
        for (const NodePlan& node : flow.nodes)
            posted += node.eventMessage.empty() ? 0 : s.evaluated;
        posted += s.rethrown * static_cast<long>(flow.nodes.size());  // every node records it
    }
    ASSERT_GT(posted, kEventCapacity);
    const Json* data = area(r.whileIdle, "zovcedar");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ((*data)["last_offset"], kAreaHeader + kEventCapacity * kEventRecord);
    EXPECT_EQ((*data)["next_offset"],
              kAreaHeader + ((posted - 1) % kEventCapacity + 1) * kEventRecord);

    const Json& events = r.whileIdle["events"];
    ASSERT_EQ(events.size(), static_cast<size_t>(kEventCapacity));
    std::map<std::string, std::set<long long>> threadsOfFlow;
    for (const Json& e : events) {
        ASSERT_FALSE(e["template"].is_null()) << e.dump();
        const Json& t = e["template"];
        const std::vector<std::string> id = split(textOfHex(e["message_id"]), '/');
        ASSERT_EQ(id.size(), 4u) << e.dump();
        const FlowPlan* flow = nullptr;
        for (const FlowPlan& f : r.plan.flows)
            flow = f.group == id[0] && f.name == id[1] ? &f : flow;
        ASSERT_NE(flow, nullptr) << e.dump();
        EXPECT_EQ(t["execution_group"], flow->group) << e.dump();
        EXPECT_EQ(t["message_flow"], flow->name) << e.dump();
        const NodePlan* node = flow->node(t["node"]);
        ASSERT_NE(node, nullptr) << e.dump();
        EXPECT_EQ(t["node_type"], node->type);
        if (t["text"] != node->eventMessage) {
            EXPECT_EQ(t["text"],
                      "Exception found in brokerhost(" + flow->path() + "). simulated failure");
            EXPECT_TRUE(standin::throwsDownstream(std::stol(id[3]), flow->throwShare)) << e.dump();
        }
        EXPECT_EQ(e["put_appl_name"], "brokerhost");
        EXPECT_EQ(e["put_appl_type"], 6);
        const int64_t putMs = putMilliseconds(e["put_date"], e["put_time"]);
        const int64_t eventSeconds = isoSeconds(e["event_time"]);
        EXPECT_NEAR(static_cast<double>(eventSeconds) - putMs / 1000.0, flow->age, 1.5) << e.dump();
        threadsOfFlow[flow->path()].insert(e["thread_id"].get<long long>());
    }
    for (const FlowPlan& flow : r.plan.flows)
        EXPECT_LE(threadsOfFlow[flow.path()].size(), static_cast<size_t>(flow.threads));
}

// Between messages no lock is held anywhere, and every named mutex still has
// its handles; once the last process has left, nothing is left at all.
TEST_F(TwoGroupProcesses, NothingLockedWhileIdleAndNothingLeftAfterTheLastProcess) {
    const TwoGroupResults& r = *results;
    EXPECT_TRUE(r.heldWhileIdle.empty());
    EXPECT_FALSE(r.queuesWhileIdle.empty());
    for (const zovtest::IpcObject& queue : r.queuesWhileIdle)
        EXPECT_GE(queue.count, 1) << "queue " << queue.id;
    EXPECT_TRUE(r.leftovers.empty()) << r.leftovers.size() << " IPC objects left";
    EXPECT_EQ(r.keyFilesLeft, 0);
}

TEST_F(TwoGroupProcesses, StoppedGroupsNodesAreMarkedDeletedWithTheirFigures) {
    const TwoGroupResults& r = *results;
    const Json& before = r.whileIdle;
    const Json& after = r.afterFirstStop;
    ASSERT_NE(at(after, "EG1"), nullptr);
    EXPECT_EQ((*at(before, "EG1"))["process"], "alive");
    EXPECT_EQ((*at(after, "EG1"))["process"], "gone");
    EXPECT_EQ((*at(after, "EG2"))["process"], "alive");
    for (const FlowPlan& flow : r.plan.flows) {
        for (const NodePlan& plan : flow.nodes) {
            SCOPED_TRACE(flow.path() + "/" + plan.name);
            const Json* was = at(before, flow.path() + "/" + plan.name);
            const Json* now = at(after, flow.path() + "/" + plan.name);
            ASSERT_NE(now, nullptr);
            EXPECT_EQ((*now)["deleted"], flow.group == "EG1");
            EXPECT_EQ((*now)["record_id"], (*was)["record_id"]);
            EXPECT_EQ((*now)["statistics"]["messages"], (*was)["statistics"]["messages"]);
        }
    }
}

// ---------------------------------------------------------------------------
// Processor time, not wall time.

TEST(EndToEnd, ElapsedTimesAreProcessorTimesOfTheProcess) {
    Plan plan{"E2E_CPU", "e2e-cpu", {}};
    FlowPlan naps{"SLEEPER", "Naps", 4, 25};
    naps.waitMicros = 20000;  // 20 ms of wall-clock time per message, almost no processor time
    naps.nodes = {{"Nap", "other"}};
    FlowPlan work{"WORKER", "Work", 1, 40};
    work.cpuMicros = 5000;  // 5 ms of processor time per message
    work.nodes = {{"Work", "other"}};
    plan.flows = {naps, work};
    HostRun run("cpu", plan);
    run.start({"--fork-groups", "--then", run.pauses.command("idle")});
    ASSERT_TRUE(run.pausedAt("idle")) << run.err();
    const Json v = view(plan.uuid);
    run.pauses.resume("idle");
    EXPECT_TRUE(run.finish().succeeded()) << run.err();

    const Json* nap = at(v, "SLEEPER/Naps/Nap");
    const Json* worker = at(v, "WORKER/Work/Work");
    ASSERT_NE(nap, nullptr);
    ASSERT_NE(worker, nullptr);
    const Json& napped = (*nap)["statistics"]["elapsed_ms"];
    EXPECT_EQ((*nap)["statistics"]["messages"], 100);
    EXPECT_LT(napped["max"].get<int>(), 10) << "a wall-clock wait counted as processor time";
    EXPECT_LT(napped["sum"].get<long long>(), 100 * 2);
    const Json& worked = (*worker)["statistics"]["elapsed_ms"];
    EXPECT_EQ((*worker)["statistics"]["messages"], 40);
    EXPECT_GE(worked["min"].get<int>(), 4) << "processor time spent downstream not counted";
}

// ---------------------------------------------------------------------------
// A process killed with SIGKILL between messages.
//
// Killed between messages, the process holds no lock: its segment stays with
// every record intact, and the next start attaches it and goes on with the
// same records. What stays behind besides are the named mutexes' objects: the
// dead process's handle messages are never taken back, so their queues,
// semaphore sets and key files outlive every later user until an operator
// removes them (ipcrm, rm). A process killed while holding a record's lock
// is worse: the semaphore operation is not undone when a process dies, so the
// semaphore stays at 0 and every later updater of that record waits forever;
// only removing the semaphore set by hand (ipcrm) frees them.

Plan killPlan(long messages) {
    Plan plan{"E2E_KILL", "e2e-kill", {}};
    FlowPlan flow{"EGK", "Flow", 4, messages};
    flow.size = "364-1000";
    flow.age = 0.1;
    flow.nodes = {{"A", "input", "k seen"}, {"B", "output"}};
    plan.flows = {flow};
    return plan;
}

TEST(EndToEnd, KilledProcessLeavesASegmentTheNextStartContinues) {
    constexpr long kKillAfter = 3000;
    HostRun killed("kill", killPlan(1000000));
    killed.start({"--kill-after", std::to_string(kKillAfter)});
    const Ending death = killed.finish();
    ASSERT_EQ(death.signal, SIGKILL) << death.describe() << killed.err();

    // The segment stays, attached by nobody, with no lock held.
    const std::vector<zovtest::IpcObject> segments = zovtest::ipcObjects("shm");
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].count, 0);
    EXPECT_TRUE(heldSemaphores().empty());
    const Json before = view("e2e-kill");
    const Json* group = at(before, "EGK");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ((*group)["process"], "gone");
    const int killedPid = (*group)["process_id"];
    std::map<std::string, std::string> recordIds;
    for (const std::string label : {"A", "B"}) {
        const Json* node = at(before, "EGK/Flow/" + label);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ((*node)["deleted"], false) << "a killed process deletes nothing";
        EXPECT_EQ((*node)["statistics"]["messages"], kKillAfter) << label;
        recordIds[label] = (*node)["record_id"];
    }

    // The next start attaches the same segment and goes on with its records.
    HostRun next("kill-restart", killPlan(250));
    next.start({"--then", next.pauses.command("idle")});
    ASSERT_TRUE(next.pausedAt("idle")) << next.err();
    const Json after = view("e2e-kill");
    next.pauses.resume("idle");
    EXPECT_TRUE(next.finish().succeeded()) << next.err();
    ASSERT_EQ(after["execution_groups"].size(), 1u);
    ASSERT_EQ(after["execution_groups"][0]["message_flows"].size(), 1u);
    EXPECT_EQ(after["execution_groups"][0]["message_flows"][0]["nodes"].size(), 2u);
    EXPECT_EQ(after["detached_records"], 0);
    EXPECT_NE((*at(after, "EGK"))["process_id"], killedPid);
    EXPECT_GE(isoSeconds(after["reset_time"]), isoSeconds(before["reset_time"]));
    for (const auto& [label, recordId] : recordIds) {
        const Json* node = at(after, "EGK/Flow/" + label);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ((*node)["record_id"], recordId) << label;
        EXPECT_EQ((*node)["statistics"]["messages"], 4 * 250) << "counted afresh after the join";
    }

    // The last user removed the segment and its key file; the named mutexes
    // the dead process never released stay, none of them locked.
    EXPECT_TRUE(zovtest::ipcObjects("shm").empty());
    EXPECT_TRUE(zovtest::tmpFilesEndingIn(".zovcshme").empty());
    EXPECT_TRUE(heldSemaphores().empty());
    zovtest::removeLeftovers();
    EXPECT_TRUE(zovtest::allIpcObjects().empty());
}

}  // namespace
