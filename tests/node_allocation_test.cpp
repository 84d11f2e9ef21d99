// A node instance's whole life with each allocation of the system failing in
// turn: nothing may crash or throw, every failure the system reports is
// "Allocation Error in %s" with the operation's name, and no IPC object or
// key file may be left behind.
//
// The system allocates everything it must survive without with the nothrow
// operators; only those are made to fail here. The broker stand-in and the
// standard containers keep allocating normally. Every allocation is counted,
// to show that a message costs the system none.
#include <gtest/gtest.h>

#include <execinfo.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>
#include <string>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "zov/zovcstir.h"

namespace {

thread_local bool counting = false;
thread_local long allocations = 0;
thread_local bool armed = false;
thread_local int nothrowCalls = 0;
thread_local int failAt = 0;

// ZOV_ALLOC_BACKTRACE=1 prints where each failed allocation was made.
void showFailure() {
    static const bool show = std::getenv("ZOV_ALLOC_BACKTRACE") != nullptr;
    if (!show)
        return;
    void* frames[32];
    const int n = backtrace(frames, 32);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    (void)!write(STDERR_FILENO, "----\n", 5);
}

// Out of line, so that the compiler does not pair an inlined operator new
// with free and warn about a mismatch that is intended here.
__attribute__((noinline)) void* allocate(std::size_t n) {
    if (counting)
        ++allocations;
    void* p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
__attribute__((noinline)) void release(void* p) noexcept {
    std::free(p);
}

void* allocateOrFail(std::size_t n, bool array) noexcept {
    if (armed && ++nothrowCalls == failAt) {
        showFailure();
        return nullptr;
    }
    try {
        return array ? ::operator new[](n) : ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocateOrFail(n, false);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocateOrFail(n, true);
}

namespace {

// Fails the `which`-th nothrow allocation of this thread (0: none) while
// alive; tells how many were made.
class FailingAllocation {
  public:
    explicit FailingAllocation(int which) {
        nothrowCalls = 0;
        failAt = which;
        armed = true;
    }
    ~FailingAllocation() { armed = false; }
    int calls() const { return nothrowCalls; }
};

// Everything the broker does with one node instance. False when a downstream
// exception did not reach the broker.
bool nodeLife(standin::Plugin& plugin) {
    auto node = plugin.createNode({"ALLOCBRK", "group", "flow", "node"});
    if (node->context() == nullptr)
        return true;  // the context itself was not allocated
    node->setDownstream([](const standin::Delivery&) {});
    node->setAttribute("eventMessage", "allocation run");
    node->setAttribute("collectQueueTime", "yes");
    node->setAttribute("label", "Alloc");
    node->setAttribute("type", "input");
    node->getAttribute("type");
    node->attributeNames();
    standin::MessageSpec spec;
    spec.putSecondsAgo(1.0);
    auto message = standin::Message::fromSpec(spec);
    node->evaluate(&message);
    node->evaluate(&message);
    node->evaluate(nullptr);
    node->setDownstream(standin::throwing("Where", "doing", "what"));
    const bool rethrown = node->evaluate(&message).rethrown;
    node.reset();
    return rethrown;
}

// Key files of named mutexes and segments under /tmp.
int keyFiles() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".zovmutx") || name.ends_with(".zovcshme"))
            ++n;
    }
    return n;
}

constexpr const char* kReports = "/tmp/allocation-reports";

// One node life in a child process with allocation `which` failing: every
// run starts from a fresh process, so nothing one run leaves in the process
// changes the next. Appends the operations that reported message 1 to
// kReports; the exit status tells what went wrong (0: nothing).
int failingRun(standin::Plugin& plugin, int which) {
    standin::LogSink log;
    bool rethrown = false;
    {
        FailingAllocation failing(which);
        rethrown = nodeLife(plugin);
    }
    std::ofstream reports(kReports, std::ios::app);
    for (const auto& m : log.withNumber(1)) {
        if (m.inserts.size() != 1 || m.text != "Allocation Error in " + m.inserts[0] ||
            m.source != "LumenaMonitorNode") {
            return 2;
        }
        reports << m.inserts[0] << "\n";
    }
    return rethrown ? 0 : 3;
}

TEST(NodeAllocation, EveryFailureIsSurvivedAndReported) {
    zovtest::configure("ZOVMemorySize 65536\n");
    ASSERT_TRUE(standin::writeBrokerRegistry("ALLOCBRK", "alloc-uuid"));
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok());

    int total = 0;
    {
        FailingAllocation none(0);
        EXPECT_TRUE(nodeLife(*plugin));
        total = none.calls();
    }
    ASSERT_GT(total, 10);
    std::filesystem::remove(kReports);
    for (int which = 1; which <= total; ++which) {
        // A broker of its own per run, in case one run leaves its segment.
        ASSERT_TRUE(standin::writeBrokerRegistry("ALLOCBRK", "alloc-" + std::to_string(which)));
        const int ipcBefore = zovtest::ipcObjectTotal();
        const int filesBefore = keyFiles();
        EXPECT_EQ(zovtest::runInChild([&] { return failingRun(*plugin, which); }), 0)
            << "failing allocation " << which << " of " << total
            << " (2: bad message 1, 3: exception not passed back, -1: crash)";
        EXPECT_EQ(zovtest::ipcObjectTotal(), ipcBefore)
            << "IPC left after failing allocation " << which << " of " << total;
        EXPECT_EQ(keyFiles(), filesBefore)
            << "key file left after failing allocation " << which << " of " << total;
    }
    std::set<std::string> reportedIn;
    std::ifstream reports(kReports);
    for (std::string line; std::getline(reports, line);)
        reportedIn.insert(line);
    for (const char* operation :
         {"zovCreateNodeContext", "ZOV_Node_Context::ZOV_Node_Context",
          "ZOV_Node_Context::getResourceNames", "ZOV_Node_Context::insertAttribute",
          "ZOV_Monitoring_Node::init", "ZOV_Monitoring_Node::initEventMessage"}) {
        EXPECT_EQ(reportedIn.count(operation), 1u) << operation << " never reported";
    }
}

// A message through a node costs the system no allocation, measured at the
// node function the broker calls: the stand-in broker's calls made on the way
// allocate nothing either, so the count is the system's own.
TEST(NodeAllocation, MessagesCostNoAllocation) {
    zovtest::configure("ZOVMemorySize 65536\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(plugin->ok());
    ASSERT_TRUE(standin::writeBrokerRegistry("COUNTBRK", "count-uuid"));
    auto monitored = plugin->createNode({"COUNTBRK", "group", "flow", "node"});
    monitored->setAttribute("label", "Counted");
    monitored->setAttribute("type", "input");
    monitored->setAttribute("eventMessage", "every message");
    monitored->setAttribute("collectQueueTime", "yes");
    ASSERT_EQ(zovtest::monitorOf(*monitored)->isInitialized(), 1);
    ASSERT_TRUE(standin::writeBrokerRegistry("BAREBRK", "no/such/dir"));
    auto bare = plugin->createNode({"BAREBRK", "group", "flow", "node"});
    ASSERT_EQ(zovtest::monitorOf(*bare), nullptr);

    standin::MessageSpec spec;
    spec.putSecondsAgo(3.0);
    auto message = standin::Message::fromSpec(spec);
    auto allocationsFor = [&](standin::Node& node) {
        node.setDownstream([](const standin::Delivery&) {});
        auto evaluate = plugin->functions()->evaluate;
        evaluate(node.context(), nullptr, nullptr, message.handle());  // builds the record mutex
        allocations = 0;
        counting = true;
        for (int i = 0; i < 50; ++i)
            evaluate(node.context(), nullptr, nullptr, message.handle());
        counting = false;
        return allocations;
    };
    EXPECT_EQ(allocationsFor(*bare), 0);
    EXPECT_EQ(allocationsFor(*monitored), 0);
    const ZOV_STIR* stats = zovtest::monitorOf(*monitored)->getStatisticsRecord();
    EXPECT_EQ(static_cast<double>(stats->getMessageCount()), 51.0);
    EXPECT_GE(stats->getMinQueued(), 2900);
}

}  // namespace
