// Allocation-failure injection through a whole broker scenario: the plug-in
// loaded, three nodes created in two flows of one execution group, their
// attributes set (so they join the tree), messages with events that wrap the
// event data area, an exception downstream, a statistics maximum, a node
// deleted and joining again, a reader rebuilding the tree and the events, and
// every node deleted.
//
// Run N makes the N-th allocation that the system makes with the nothrow
// operators fail, for N = 1, 2, ... until a run completes without reaching
// its N-th allocation. Each run is a fresh child process, so nothing that one
// run leaves in a process can change the next. Every run must end normally
// within its time limit, leave no System V object and no key file, and free
// every nothrow allocation (in sanitizer builds LeakSanitizer checks the
// rest). A failed object allocation must be reported as "Allocation Error in
// %s" with the operation's name. A string's character buffer is absorbed by
// the string, which writes no log lines; when that changes what is counted,
// the operation that notices reports it, and a run whose counts come out
// wrong without any report fails.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/ipc_support.h"
#include "support/nothrow_injection.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/zovcbrkr.h"
#include "zov/zovcnoir.h"
#include "zov/zovcrcst.h"
#include "zov/zovcstir.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define ZOV_TEST_LSAN 1
#endif

namespace {

using zovinject::armed;
using zovinject::failedArray;
using zovinject::failedCaller;
using zovinject::failedFrameCount;
using zovinject::failedFrames;
using zovinject::kFrames;
using zovinject::liveCount;
using zovinject::nothrowCalls;

// ---------------------------------------------------------------------------
// What a child run tells its parent, through a shared anonymous mapping.

struct RunReport {
    int calls = 0;                    // nothrow allocations made (up to the failure and after)
    bool injected = false;            // the N-th allocation was reached and failed
    bool array = false;               // it was an array allocation (a buffer)
    uintptr_t callerOffset;           // caller of the failed allocation, from its object's base
    char callerObject[256];           // that object's file
    uintptr_t frameOffsets[kFrames];  // the call stack of the failure, same object
    int frames = 0;
    int allocationErrors = 0;
    char operation[128];     // insert of the first "Allocation Error in %s"
    bool malformed = false;  // a message 1 with another text or source
    int otherMessages = 0;   // messages 2 (a call failed) seen
    char otherMessage[256];  // the first of them
    long leaked = 0;         // nothrow allocations never freed
    bool sanitizerLeaks = false;
    bool rethrowLost = false;  // a downstream exception did not reach the broker
    bool countsWrong = false;  // only checked in a run without failure
};

constexpr char kBroker[] = "INJBRK";
constexpr char kUuid[] = "inject-uuid";
// Event data area of (8192 - 64) / 208 = 39 records: 45 events wrap it.
constexpr char kConfig[] = "ZOVMemorySize 8192\n";
constexpr int kMessagesThroughA = 45;
constexpr double kRunSeconds = 60;

using NodePtr = std::unique_ptr<standin::Node>;

bool usable(const NodePtr& node) {
    return node != nullptr && node->context() != nullptr;
}

void setUp(standin::Node& node, const char* label, const char* type, const char* event) {
    node.setDownstream([](const standin::Delivery&) {});
    node.setAttribute("collectQueueTime", "yes");
    if (event != nullptr)
        node.setAttribute("eventMessage", event);
    node.setAttribute("label", label);
    node.setAttribute("type", type);
    node.getAttribute("type");
}

void send(const NodePtr& node, int messages) {
    if (!usable(node))
        return;
    standin::MessageSpec recipe;
    recipe.putSecondsAgo(0.5);
    auto message = standin::Message::fromSpec(recipe);
    for (int i = 0; i < messages; ++i)
        node->evaluate(&message);
}

// The downstream flow of `node` throws once; the exception must come back.
bool throwOnce(const NodePtr& node) {
    if (!usable(node))
        return true;
    node->setDownstream(standin::throwing("Compute", "mapping", "division by zero"));
    standin::MessageSpec recipe;
    auto message = standin::Message::fromSpec(recipe);
    const bool rethrown = node->evaluate(&message).rethrown;
    node->setDownstream([](const standin::Delivery&) {});
    return rethrown;
}

// Puts the node's stored message count at the maximum, as a long-running
// node would reach it; its next message resets every statistic.
void pushToMaximum(const NodePtr& node) {
    if (usable(node))
        zovtest::pushToMaximum(*node);
}

// A reader of the area, as the monitoring agent reads it. Returns the message
// count of each node label found.
std::map<std::string, double> readBack(const ZOV_Resource_ID& id) {
    std::map<std::string, double> counts;
    ZOV_Broker reader(&id);
    if (reader.status != 0)
        return counts;
    reader.readStatsArea(1);
    reader.initStatistics();
    ZOV_STIR input(0), output(0), other(0);
    reader.getStatistics(&input, &output, &other);
    ZOV_Ordered_Record_Set events;
    reader.getEvents(&events);
    events.clearAndDestroy();
    ZOV_Record_Set records;
    reader.getRecords(&records);
    // What follows is the test's own bookkeeping, not the reader's work.
    const bool wasArmed = armed;
    armed = false;
    for (ZOV_Record* record : records) {
        auto* node = dynamic_cast<ZOV_NOIR*>(record);
        if (node == nullptr)
            continue;
        for (ZOV_Record* candidate : records) {
            auto* stats = dynamic_cast<ZOV_STIR*>(candidate);
            if (stats != nullptr && stats->isChildOf(node)) {
                ZOV_String label = node->getLabel();
                counts[label.getcValue() != nullptr ? label.getcValue() : ""] =
                    static_cast<double>(stats->getMessageCount());
            }
        }
    }
    records.clear();
    armed = wasArmed;
    return counts;
}

// The whole scenario. Returns false when a downstream exception was lost.
bool scenario(const ZOV_Resource_ID& readerId, bool& countsWrong) {
    bool rethrown = true;
    auto plugin = zovtest::loadPlugin();
    if (!plugin->ok())
        return true;  // no factory: the broker can do nothing more with the library
    NodePtr a = plugin->createNode({kBroker, "EG1", "F1", "A"});
    NodePtr b = plugin->createNode({kBroker, "EG1", "F2", "B"});
    if (usable(a))
        setUp(*a, "A", "input", "A passed a message");
    if (usable(b))
        setUp(*b, "B", "output", nullptr);
    // C joins when the broker enumerates its attributes, under the
    // placeholder label.
    NodePtr c = plugin->createNode({kBroker, "EG1", "F2", "C"});
    if (usable(c))
        c->attributeNames();

    send(a, kMessagesThroughA);
    send(b, 2);
    rethrown = throwOnce(b) && rethrown;
    pushToMaximum(a);
    send(a, 1);

    // B leaves and comes back: its node is marked deleted, then undeleted by
    // the join, which resets every statistic.
    b.reset();
    b = plugin->createNode({kBroker, "EG1", "F2", "B"});
    if (usable(b))
        setUp(*b, "B", "output", nullptr);
    send(a, 3);
    send(b, 2);

    const std::map<std::string, double> counts = readBack(readerId);
    const std::map<std::string, double> expected = {
        {"A", 3}, {"B", 2}, {"*Unknown*LumenaMonitor", 0}};
    countsWrong = counts != expected;
    a.reset();
    b.reset();
    c.reset();
    return rethrown;
}

void copyText(char* target, size_t size, const std::string& text) {
    std::snprintf(target, size, "%s", text.c_str());
}

// One run in the calling (child) process.
int runOnce(int which, RunReport* report) {
    zovtest::configure(kConfig);
    standin::writeBrokerRegistry(kBroker, kUuid);
    standin::LogSink log;
    bool countsWrong = false;
    const ZOV_Resource_ID readerId = zovtest::identity(kUuid, kBroker);
    zovinject::arm(which);
    const bool rethrown = scenario(readerId, countsWrong);
    zovinject::disarm();

    report->calls = nothrowCalls;
    report->injected = which > 0 && nothrowCalls >= which;
    report->array = failedArray;
    if (failedCaller != nullptr) {
        Dl_info info{};
        if (dladdr(failedCaller, &info) != 0 && info.dli_fname != nullptr) {
            report->callerOffset = reinterpret_cast<uintptr_t>(failedCaller) -
                                   reinterpret_cast<uintptr_t>(info.dli_fbase);
            copyText(report->callerObject, sizeof report->callerObject, info.dli_fname);
            for (int i = 0; i < failedFrameCount; ++i) {
                report->frameOffsets[report->frames++] =
                    reinterpret_cast<uintptr_t>(failedFrames[i]) -
                    reinterpret_cast<uintptr_t>(info.dli_fbase);
            }
        }
    }
    for (const standin::LogRecord& m : log.withNumber(ZOV_MSG_ALLOCATION_ERROR)) {
        if (m.inserts.size() != 1 || m.text != "Allocation Error in " + m.inserts[0] ||
            m.source != "LumenaMonitorNode" || m.function != m.inserts[0]) {
            report->malformed = true;
        } else if (report->allocationErrors == 0) {
            copyText(report->operation, sizeof report->operation, m.inserts[0]);
        }
        ++report->allocationErrors;
    }
    const auto failedCalls = log.withNumber(ZOV_MSG_FUNCTION_FAILED);
    report->otherMessages = static_cast<int>(failedCalls.size());
    if (!failedCalls.empty()) {
        copyText(report->otherMessage, sizeof report->otherMessage,
                 failedCalls[0].function + ": " + failedCalls[0].text);
    }
    report->leaked = liveCount;
    report->rethrowLost = !rethrown;
    report->countsWrong = countsWrong;
#if defined(ZOV_TEST_LSAN)
    report->sanitizerLeaks = __lsan_do_recoverable_leak_check() != 0;
#endif
    return 0;
}

std::string symbolize(const RunReport& r) {
    char command[512];
    std::snprintf(command, sizeof command, "addr2line -f -C -e '%s' 0x%lx 2>/dev/null",
                  r.callerObject, static_cast<unsigned long>(r.callerOffset - 1));
    std::string site;
    if (FILE* pipe = popen(command, "r")) {
        char line[512];
        if (std::fgets(line, sizeof line, pipe) != nullptr)
            site = line;
        pclose(pipe);
    }
    while (!site.empty() && (site.back() == '\n' || site.back() == ' '))
        site.pop_back();
    return site.empty() ? "?" : site;
}

// The first function on the failure's call stack outside the allocator and
// the string class: the owner of a string that absorbed the failure.
std::string ownerOf(const RunReport& r) {
    static std::map<std::vector<uintptr_t>, std::string> known;
    const std::vector<uintptr_t> frames(r.frameOffsets, r.frameOffsets + r.frames);
    auto found = known.find(frames);
    if (found != known.end())
        return found->second;
    std::string command = std::string("addr2line -f -C -e '") + r.callerObject + "'";
    for (uintptr_t offset : frames) {
        char address[32];
        std::snprintf(address, sizeof address, " 0x%lx", static_cast<unsigned long>(offset - 1));
        command += address;
    }
    std::string owner = "?";
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char line[1024];
        for (int i = 0; std::fgets(line, sizeof line, pipe) != nullptr; ++i) {
            std::string function = line;
            if (i % 2 != 0 || owner != "?")
                continue;  // file:line lines, or the owner already found
            const std::string anonymous = "(anonymous namespace)::";
            if (function.rfind(anonymous, 0) == 0)
                function.erase(0, anonymous.size());
            function = function.substr(0, function.find_first_of("(\n"));
            const bool allocator = function.find("allocateOrFail") != std::string::npos ||
                                   function.find("operator new") != std::string::npos ||
                                   function.rfind("ZOV_String::", 0) == 0 ||
                                   function.find("?") != std::string::npos;
            if (!allocator)
                owner = function;
        }
        pclose(pipe);
    }
    known.emplace(frames, owner);
    return owner;
}

// The function that made the failed allocation, without its parameters.
std::string siteOf(const RunReport& r) {
    static std::map<uintptr_t, std::string> known;
    auto found = known.find(r.callerOffset);
    if (found == known.end()) {
        std::string site = symbolize(r);
        site = site.substr(0, site.find('('));
        found = known.emplace(r.callerOffset, site).first;
    }
    return found->second;
}

// ---------------------------------------------------------------------------

// Everything wrong with one run, empty when nothing is.
std::string problemsOf(const zovtest::Ending& end, const RunReport& r, size_t objectsLeft,
                       int filesLeft) {
    std::string problems;
    auto add = [&](bool bad, const std::string& what) {
        if (bad)
            problems += (problems.empty() ? "" : "; ") + what;
    };
    add(!end.exited || end.code != 0, end.describe());
    add(objectsLeft != 0, std::to_string(objectsLeft) + " System V objects left");
    add(filesLeft != 0, std::to_string(filesLeft) + " key files left");
    add(r.leaked != 0, std::to_string(r.leaked) + " nothrow allocations never freed");
    add(r.sanitizerLeaks, "LeakSanitizer found leaks");
    add(r.malformed, "a message 1 with another text, source or function");
    add(r.rethrowLost, "a downstream exception did not reach the broker");
    add(!r.injected && r.otherMessages != 0,
        "a call failed without an allocation failure: " + std::string(r.otherMessage));
    add(!r.injected && r.allocationErrors != 0, "an allocation error without a failure");
    add(!r.injected && r.countsWrong, "the scenario's counts are wrong");
    add(r.injected && r.allocationErrors == 0 && !r.array,
        "an object allocation failed without a report, in " + siteOf(r));
    add(r.injected && r.allocationErrors == 0 && r.otherMessages == 0 && r.countsWrong,
        "counts went wrong without a report, after a buffer of " + ownerOf(r));
    return problems;
}

TEST(AllocationInjection, EveryFailureInAWholeScenarioIsSurvivedCleanedUpAndReported) {
    auto* report = static_cast<RunReport*>(mmap(nullptr, sizeof(RunReport), PROT_READ | PROT_WRITE,
                                                MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(report, MAP_FAILED);
    zovtest::removeLeftovers();

    std::map<std::string, int> reportedBy;     // "site -> operation" -> runs
    std::map<std::string, int> silentBuffers;  // site -> runs
    std::map<std::string, int> consequences;   // message 2 after a failure -> runs
    int points = 0, silent = 0, badRuns = 0;
    bool finished = false;
    // ZOV_INJECT_FROM=N and ZOV_INJECT_TO=M limit the walk, to look at some runs.
    const char* from = std::getenv("ZOV_INJECT_FROM");
    const char* to = std::getenv("ZOV_INJECT_TO");
    const int last = to != nullptr ? std::atoi(to) : 100000;
    for (int which = from != nullptr ? std::atoi(from) : 1; which <= last && badRuns < 20;
         ++which) {
        *report = RunReport{};
        const zovtest::Ending end =
            zovtest::runChildWithin(kRunSeconds, [&] { return runOnce(which, report); });
        const size_t objectsLeft = zovtest::allIpcObjects().size();
        const int filesLeft = zovtest::keyFileCount();
        const std::string problems = problemsOf(end, *report, objectsLeft, filesLeft);
        if (!problems.empty()) {
            ADD_FAILURE() << "failing allocation " << which << ": " << problems;
            ++badRuns;
            zovtest::removeLeftovers();
        }
        if (end.exited && !report->injected) {
            finished = true;
            break;
        }
        ++points;
        if (report->allocationErrors > 0) {
            ++reportedBy[siteOf(*report) + " -> " + report->operation];
        } else if (report->array) {
            ++silent;
            const bool noticed = report->otherMessages > 0 || report->countsWrong;
            ++silentBuffers[ownerOf(*report) + (noticed ? "  (then: failed or counts off)" : "")];
            if (noticed && std::getenv("ZOV_INJECT_SHOW") != nullptr)
                std::printf("run %d: %s\n", which, ownerOf(*report).c_str());
        }
        if (report->otherMessages > 0)
            ++consequences[report->otherMessage];
    }
    munmap(report, sizeof(RunReport));
    EXPECT_TRUE(finished) << "no run completed without a failure";

    std::printf("allocation injection: %d points covered, %d reported, %d string buffers\n", points,
                points - silent, silent);
    for (const auto& [operation, runs] : reportedBy)
        std::printf("  reported %4d  %s\n", runs, operation.c_str());
    for (const auto& [site, runs] : silentBuffers)
        std::printf("  absorbed %4d  %s\n", runs, site.c_str());
    for (const auto& [message, runs] : consequences)
        std::printf("  then     %4d  %s\n", runs, message.c_str());
    EXPECT_GT(points, 100);
}

}  // namespace
