// Allocations of a node instance: each allocation of its life failing in turn,
// nothrow ones wherever made and throwing ones made by the library's own code
// (nothing crashes, no exception leaves the library, exceptions still go back
// to the broker, failures are reported as "Allocation Error in %s", no IPC
// object or key file is left), and a message costing the system no allocation
// at all. Throwing allocations of the stand-in broker and the harness are
// counted but never made to fail.
#include <gtest/gtest.h>

#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <set>

#include "support/ipc_support.h"
#include "support/plugin_env.h"
#include "zov/zovcstir.h"

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
thread_local int failable = 0;  // allocations that the walk may fail
thread_local int failAt = 0;    // 0: none

// The library's code. Templates the library instantiates (its containers)
// are part of it, so their throwing allocations count as the library's.
uintptr_t libraryBegin = 0;
uintptr_t libraryEnd = 0;

bool calledFromLibrary(const void* caller) {
    const auto address = reinterpret_cast<uintptr_t>(caller);
    return address >= libraryBegin && address < libraryEnd;
}

void findLibraryCode() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (info->dlpi_name == nullptr ||
                std::strstr(info->dlpi_name, "libzovpnode") == nullptr)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
                    libraryBegin = info->dlpi_addr + segment.p_vaddr;
                    libraryEnd = libraryBegin + segment.p_memsz;
                }
            }
            return 1;
        },
        nullptr);
}

// Out of line, so that the compiler does not pair an inlined operator new
// with free and warn about a mismatch that is intended here.
__attribute__((noinline)) void* allocate(std::size_t n, const void* caller) {
    allocations += counting ? 1 : 0;
    if (calledFromLibrary(caller) && ++failable == failAt)
        throw std::bad_alloc();
    if (void* p = std::malloc(n != 0 ? n : 1))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void release(void* p) noexcept {
    std::free(p);
}
void* allocateOrFail(std::size_t n) noexcept {
    if (++failable == failAt)
        return nullptr;
    allocations += counting ? 1 : 0;
    return std::malloc(n != 0 ? n : 1);
}
}  // namespace

void* operator new(std::size_t n) {
    return allocate(n, __builtin_return_address(0));
}
void* operator new[](std::size_t n) {
    return allocate(n, __builtin_return_address(0));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocateOrFail(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocateOrFail(n);
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

namespace {

// Everything the broker does with one node; false when a downstream
// exception did not get back to the broker.
bool nodeLife(standin::Plugin& plugin) {
    auto node = plugin.createNode({"ALLOCBRK", "group", "flow", "node"});
    if (node->context() == nullptr)
        return true;
    node->setDownstream([](const standin::Delivery&) {});
    for (const char* name : {"eventMessage", "label", "type"})
        node->setAttribute(name, "input");
    node->getAttribute("type");
    node->attributeNames();
    auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(1.0));
    node->evaluate(&message);
    node->evaluate(nullptr);
    node->setDownstream(standin::throwing("Where", "doing", "what"));
    return node->evaluate(&message).rethrown;
}

TEST(NodeAllocation, EveryFailureIsSurvivedAndReported) {
    zovtest::configure("ZOVMemorySize 65536\n");
    // The library as the broker loads it, so that its code can be told apart.
    auto plugin = std::make_unique<standin::Plugin>(ZOV_PLUGIN_PATH);
    ASSERT_TRUE(plugin->ok()) << plugin->error();
    findLibraryCode();
    ASSERT_LT(libraryBegin, libraryEnd);
    ASSERT_TRUE(standin::writeBrokerRegistry("ALLOCBRK", "alloc-uuid"));
    failable = 0;
    ASSERT_TRUE(nodeLife(*plugin));
    const int total = failable;
    const char* reports = "/tmp/allocation-reports";
    // Each run in a child of its own: what one run leaves in the process
    // cannot change the next.
    for (int which = 1; which <= total; ++which) {
        const int ipcBefore = zovtest::ipcObjectTotal();
        const int keyFilesBefore = zovtest::keyFileCount();
        const int status = zovtest::runInChild([&] {
            alarm(20);  // a run left waiting on a lock it holds fails, not hangs
            standin::LogSink log;
            failable = 0;
            failAt = which;
            const bool rethrown = nodeLife(*plugin);
            failAt = 0;
            std::ofstream out(reports, std::ios::app);
            for (const auto& m : log.withNumber(1)) {
                if (m.inserts.size() != 1 || m.text != "Allocation Error in " + m.inserts[0])
                    return 2;
                out << m.inserts[0] << "\n";
            }
            return rethrown ? 0 : 3;
        });
        EXPECT_EQ(status, 0) << "allocation " << which << " (2: message, 3: no rethrow)";
        EXPECT_EQ(zovtest::ipcObjectTotal(), ipcBefore) << "IPC left by allocation " << which;
        EXPECT_EQ(zovtest::keyFileCount(), keyFilesBefore) << "key file left by " << which;
    }
    std::set<std::string> reportedIn;
    std::ifstream in(reports);
    for (std::string line; std::getline(in, line);)
        reportedIn.insert(line);
    for (const char* operation :
         {"zovCreateNodeContext", "ZOV_Node_Context::ZOV_Node_Context",
          "ZOV_Node_Context::getResourceNames", "ZOV_Node_Context::insertAttribute",
          "ZOV_Monitoring_Node::init", "ZOV_Monitoring_Node::initEventMessage"}) {
        EXPECT_EQ(reportedIn.count(operation), 1u) << operation << " never reported";
    }
}

// Counted at the node function the broker calls: the stand-in's calls on the
// way allocate nothing, so every allocation would be the system's.
TEST(NodeAllocation, MessagesCostNoAllocation) {
    zovtest::configure("ZOVMemorySize 65536\n");
    auto plugin = zovtest::loadPlugin();
    ASSERT_TRUE(standin::writeBrokerRegistry("COUNTBRK", "count-uuid"));
    auto monitored = plugin->createNode({"COUNTBRK", "group", "flow", "node"});
    monitored->setAttribute("label", "Counted");
    monitored->setAttribute("type", "input");
    monitored->setAttribute("eventMessage", "every message");
    ASSERT_TRUE(standin::writeBrokerRegistry("BAREBRK", "no/such/dir"));
    auto bare = plugin->createNode({"BAREBRK", "group", "flow", "node"});
    ASSERT_EQ(zovtest::monitorOf(*bare), nullptr);

    auto message = standin::Message::fromSpec(standin::MessageSpec{}.putSecondsAgo(3.0));
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
