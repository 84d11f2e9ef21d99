// Allocation failures through a broker's whole scenario (see scenario()): each run,
// a child, fails the first nothrow or library allocation from a given one whose call
// stack no earlier run failed. Every run must end normally (no exception left the
// library), leave no IPC object or key file, free what it allocated and return the
// downstream exception; a failed object allocation is reported "Allocation Error in
// %s" (a string absorbs a failed buffer silently, but wrong counts need a report).
#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/allocation_control.h"
#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "support/tree_support.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcshme.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"
#include "zov/node/zovcbrkr.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using namespace zovtest;

namespace {

constexpr char kBroker[] = "INJBRK";
constexpr char kUuid[] = "inject-uuid";
// Event data area of (8192 - 64) / 208 = 39 records: 45 events wrap it.
constexpr char kConfig[] = "ZOVMemorySize 8192\n";

const void* libraryBase = nullptr;

// Each must be reported at least once in the walk.
constexpr const char* kOperations[] = {"zovCreateNodeContext",
                                       "ZOV_Node_Context::ZOV_Node_Context",
                                       "ZOV_Node_Context::getResourceNames",
                                       "ZOV_Node_Context::insertAttribute",
                                       "ZOV_Monitoring_Node::init",
                                       "ZOV_Monitoring_Node::initEventMessage",
                                       "ZOV_Broker::readStatsArea",
                                       "ZOV_Shared_Area::writeRecord",
                                       "ZOV_REIR::get"};

// What a child run tells its parent, in a shared mapping.
struct RunReport {
    bool injected = false;  // an allocation was failed
    Allocation failed{};
    int index = 0;  // its number among the counted allocations
    uint64_t stack = 0;
    unsigned operations = 0;  // bits of kOperations reported
    char problems[1024] = "";
};

struct Outcome {
    bool rethrowLost = false, countsWrong = false;
    int messageAllocations = 0;
};

void note(std::string& problems, bool bad, const std::string& what) {
    if (bad)
        problems += (problems.empty() ? "" : "; ") + what;
}

uint64_t stackHash() {
    void* frames[48];
    const int depth = backtrace(frames, 48);
    uint64_t hash = 1469598103934665603u;
    for (int i = 0; i < depth; ++i)
        hash = (hash ^ reinterpret_cast<uintptr_t>(frames[i])) * 1099511628211u;
    return hash;
}

// Set by the parent before each run (the child has its copy).
struct {
    int from = 1;
    std::vector<uint64_t> seen;
    RunReport* report = nullptr;
} walk;

struct Injection : AllocationScope {
    bool counts(const Allocation& a) override {
        Dl_info info{};
        return a.nothrow || (dladdr(a.caller, &info) != 0 && info.dli_fbase == libraryBase);
    }
    bool fails(int n, const Allocation& a) override {
        if (walk.report->injected || n < walk.from)
            return false;
        const uint64_t stack = stackHash();
        if (std::find(walk.seen.begin(), walk.seen.end(), stack) != walk.seen.end())
            return false;
        *walk.report = {true, a, n, stack};
        return true;
    }
};

using NodePtr = std::unique_ptr<standin::Node>;

bool usable(const NodePtr& node) {
    return node != nullptr && node->context() != nullptr;
}

void setUp(const NodePtr& node, const char* label, const char* type, const char* event) {
    if (!usable(node))
        return;
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("collectQueueTime", "yes");
    if (event != nullptr)
        node->setAttribute("eventMessage", event);
    node->setAttribute("label", label);
    node->setAttribute("type", type);
    node->getAttribute("type");
}

void send(const NodePtr& node, int messages) {
    auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(0.5));
    for (int i = 0; i < messages && usable(node); ++i)
        node->evaluate(&message);
}

// The downstream flow throws once; whether the exception came back.
bool throwOnce(const NodePtr& node) {
    if (!usable(node))
        return true;
    node->setDownstream(standin::throwing("Compute", "mapping", "division by zero"));
    auto message = standin::Message::fromSpec(standin::MessageSpec{});
    const bool rethrown = node->evaluate(&message).rethrown;
    node->setDownstream([](const standin::Delivery&) {});
    return rethrown;
}

// A reader rebuilding the tree and the events: whether its sums per node-type slot
// and the stored count of each node are right.
bool countsRight(const ZOV_Resource_ID& id) {
    ZOV_Broker reader(&id);
    if (reader.status != 0)
        return false;
    reader.readStatsArea(1);
    reader.initStatistics();
    ZOV_STIR input(0), output(0), other(0);
    reader.getStatistics(&input, &output, &other);
    ZOV_Ordered_Record_Set events;
    reader.getEvents(&events);
    events.clearAndDestroy();
    AllocationScope* const scope = std::exchange(AllocationScope::current, nullptr);
    const auto stored = readAreaCounts(reader).messages;
    AllocationScope::current = scope;
    const std::map<std::string, double> expected = {
        {"A", 3}, {"B", 2}, {"*Unknown*LumenaMonitor", 0}};
    const std::vector sums = {asDouble(input.getMessageCount()), asDouble(output.getMessageCount()),
                              asDouble(other.getMessageCount())};
    return stored == expected && sums == std::vector<double>{3, 2, 0};
}

// Three nodes in two flows, events wrapping the data area, a null message, an
// exception downstream, a maximum, a node leaving and joining again, a reader.
void scenario(const ZOV_Resource_ID& readerId, Outcome& report) {
    standin::Plugin plugin(ZOV_PLUGIN_PATH);
    if (!plugin.ok())
        return;  // no factory: the broker can do nothing more with the library
    NodePtr a = plugin.createNode({kBroker, "EG1", "F1", "A"});
    NodePtr b = plugin.createNode({kBroker, "EG1", "F2", "B"});
    setUp(a, "A", "input", "A passed a message");
    setUp(b, "B", "output", nullptr);
    // C joins under the placeholder label when its attributes are enumerated.
    NodePtr c = plugin.createNode({kBroker, "EG1", "F2", "C"});
    if (usable(c))
        c->attributeNames();

    send(a, 5);
    // Messages after the first allocate nothing, nor does the wrap of the data area.
    const int before = AllocationScope::current->count();
    send(a, 40);
    report.messageAllocations = AllocationScope::current->count() - before;
    if (usable(a))
        a->evaluate(nullptr);
    send(b, 2);
    report.rethrowLost = !throwOnce(b);
    if (usable(a))
        pushToMaximum(*a, false);  // the test's code must not lock the library's records
    send(a, 1);
    // B leaves and comes back: deleted, then undeleted by the join's reset.
    b.reset();
    b = plugin.createNode({kBroker, "EG1", "F2", "B"});
    setUp(b, "B", "output", nullptr);
    send(a, 3);
    send(b, 2);
    report.countsWrong = !countsRight(readerId);
}

int runOnce() {
    RunReport& r = *walk.report;
    standin::LogSink log;
    const ZOV_Resource_ID readerId = identity(kUuid, kBroker);
    Outcome o;
    long unfreed = 0;
    {
        Injection injection;
        scenario(readerId, o);
        unfreed = injection.unfreed();
    }
    const auto errors = log.withNumber(ZOV_MSG_ALLOCATION_ERROR);
    bool malformed = false;
    for (const standin::LogRecord& m : errors) {
        malformed |= m.inserts.size() != 1 || m.text != "Allocation Error in " + m.inserts[0] ||
                     m.source != "LumenaMonitorNode" || m.function != m.inserts[0];
        for (size_t i = 0; i < std::size(kOperations); ++i)
            r.operations |= !m.inserts.empty() && m.inserts[0] == kOperations[i] ? 1u << i : 0;
    }
    const auto calls = log.withNumber(ZOV_MSG_FUNCTION_FAILED);
    const std::string call = calls.empty() ? "" : calls[0].function + ": " + calls[0].text;
    const bool failed = r.injected, reported = !errors.empty(), nothrow = r.failed.nothrow;
    std::string problems;
    note(problems, unfreed != 0, std::to_string(unfreed) + " allocations never freed");
#if defined(__SANITIZE_ADDRESS__)
    note(problems, __lsan_do_recoverable_leak_check() != 0, "LeakSanitizer found leaks");
#endif
    note(problems, malformed, "a message 1 with another text, source or function");
    note(problems, o.rethrowLost, "a downstream exception did not reach the broker");
    note(problems, !failed && o.messageAllocations != 0, "messages allocated");
    note(problems, !failed && (reported || !call.empty() || o.countsWrong),
         "without a failure: a report, wrong counts or a failed call " + call);
    note(problems, failed && !reported && nothrow && !r.failed.array,
         "an object allocation failed unreported");
    note(problems, failed && !reported && nothrow && call.empty() && o.countsWrong,
         "counts went wrong unreported");
    std::snprintf(r.problems, sizeof r.problems, "%s", problems.c_str());
    return 0;
}

// For addr2line -f -C -e OBJECT OFFSET.
std::string siteOf(const void* caller) {
    Dl_info info{};
    if (dladdr(caller, &info) == 0 || info.dli_fname == nullptr)
        return "?";
    char site[512];
    std::snprintf(site, sizeof site, "%s 0x%tx", info.dli_fname,
                  static_cast<const char*>(caller) - static_cast<const char*>(info.dli_fbase) - 1);
    return site;
}

TEST(AllocationInjection, EveryFailureInAWholeScenarioIsSurvivedCleanedUpAndReported) {
    configure(kConfig);
    ASSERT_TRUE(standin::writeBrokerRegistry(kBroker, kUuid));
    void* library = dlopen(ZOV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(library, "bipGetMessageflowNodeFactory"), &info), 0);
    libraryBase = info.dli_fbase;
    stackHash();  // loads the unwinder before any run
    auto* report = static_cast<RunReport*>(mmap(nullptr, sizeof(RunReport), PROT_READ | PROT_WRITE,
                                                MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(report, MAP_FAILED);
    removeLeftovers();

    unsigned operations = 0;
    walk.report = report;
    for (int badRuns = 0; badRuns < 20;) {
        *report = RunReport{};
        const Ending end = runChildWithin(60, runOnce);
        std::string problems = report->problems;
        note(problems, !end.succeeded(), end.describe());
        note(problems, !allIpcObjects().empty(), "System V objects left");
        note(problems, keyFileCount() != 0, "key files left");
        if (!problems.empty()) {
            ADD_FAILURE() << problems << " (allocation " << report->index << " in "
                          << siteOf(report->failed.caller) << ")";
            removeLeftovers();
            ++badRuns;
        }
        if (!report->injected)
            break;
        walk.seen.push_back(report->stack);
        operations |= report->operations;
        walk.from = report->index + 1;
    }
    munmap(report, sizeof(RunReport));
    std::printf("%zu allocation sites failed\n", walk.seen.size());
    for (size_t i = 0; i < std::size(kOperations); ++i)
        EXPECT_TRUE(operations & (1u << i)) << kOperations[i] << " never reported";
}

// A segment or area whose name cannot be held whole fails, reported (under a cut
// name it would use another key than the other processes); each allocation fails in turn.
TEST(AllocationInjection, SegmentAndAreaNamesAreWholeOrTheirObjectFails) {
    struct NothrowOnly : AllocationScope {
        using AllocationScope::AllocationScope;
        bool counts(const Allocation& a) override { return a.nothrow; }
    };
    configure("ZOVMemorySize 8192\n");
    const ZOV_String uuid("names-uuid");
    for (int n = 1;; ++n) {
        standin::LogSink log;
        NothrowOnly scope(n);
        ZOV_Shared_Memory segment(uuid);
        ZOV_Stats_Area area(uuid);
        const bool failed = segment.getStatus() != 0 || area.getStatus() != 0;
        const bool sized =
            segment.memoryManager.getSize() == 3 * 8192 + 64 && area.getSize() == 8192;
        EXPECT_TRUE(segment.getStatus() != 0 || segment.path == "/tmp/names-uuid.zovcshme") << n;
        EXPECT_TRUE(area.getStatus() != 0 || area.getPath() == "/tmp/names-uuid.zovcstar") << n;
        if (scope.count() < n)
            break;
        EXPECT_TRUE((!failed && sized) || log.countWithNumber(ZOV_MSG_ALLOCATION_ERROR) > 0) << n;
    }
}

}  // namespace
