#include "bench_support.h"

#include <linux/magic.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zovbench {

namespace {

constexpr char kConfigFile[] = "/opt/wmqi/lil/zovpnode.cfg";

// Where the floor's readings go, so that the compiler keeps them.
volatile long floorSink;

// zovsandbox lays empty tmpfs file systems over /tmp, /opt and /var; a real
// system keeps at least /opt and /var on disk.
bool onTmpfs(const char* path) {
    struct statfs info = {};
    return statfs(path, &info) == 0 && info.f_type == TMPFS_MAGIC;
}

}  // namespace

void requireSandbox(const char* program) {
    if (!onTmpfs("/tmp") || !onTmpfs("/opt") || !onTmpfs("/var")) {
        std::fprintf(stderr,
                     "%s: run me inside zovsandbox (zovsandbox --keep DIR -- %s ...): I create "
                     "files under /tmp, /opt and /var and System V IPC objects.\n",
                     program, program);
        std::exit(2);
    }
}

void prepareBroker(bool tracing, unsigned int areaSize) {
    std::string config = std::string("ZOVNodeTrace ") + (tracing ? "On" : "Off") + "\n";
    if (areaSize != 0)
        config += "ZOVMemorySize " + std::to_string(areaSize) + "\n";
    if (!standin::writeTextFile(kConfigFile, config) ||
        !standin::writeBrokerRegistry(kBroker, kUuid)) {
        std::fprintf(stderr, "cannot write the configuration or the registry\n");
        std::exit(2);
    }
}

std::unique_ptr<standin::Plugin> loadLibrary(const char* path) {
    auto plugin = std::make_unique<standin::Plugin>(path);
    if (!plugin->ok()) {
        std::fprintf(stderr, "%s\n", plugin->error().c_str());
        std::exit(2);
    }
    return plugin;
}

std::unique_ptr<standin::Plugin> loadMonitor() {
    return loadLibrary(ZOV_PLUGIN_PATH);
}

std::unique_ptr<standin::Plugin> loadPassThrough() {
    return loadLibrary(ZOV_PASS_PLUGIN_PATH);
}

std::unique_ptr<standin::Node> makeNode(standin::Plugin& plugin, const std::string& flow,
                                        const std::string& label, const std::string& eventMessage) {
    standin::NodeNames names;
    names.broker = kBroker;
    names.executionGroup = "group";
    names.messageFlow = flow;
    names.node = label;
    auto node = plugin.createNode(names);
    if (node == nullptr || node->context() == nullptr) {
        std::fprintf(stderr, "node %s/%s was not created\n", flow.c_str(), label.c_str());
        std::exit(2);
    }
    if (!eventMessage.empty())
        node->setAttribute("eventMessage", eventMessage);
    node->setAttribute("label", label);
    node->setAttribute("type", "other");  // label and type known: the node joins
    node->setDownstream([](const standin::Delivery&) {});
    return node;
}

standin::Message makeMessage() {
    standin::MessageSpec recipe;
    recipe.putSecondsAgo(1.5);
    recipe.totalSize = kMessageBytes;
    return standin::Message::fromSpec(recipe);
}

Floor::Floor() {
    semaphoreId = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (semaphoreId >= 0)
        semctl(semaphoreId, 0, SETVAL, 1);
}

Floor::~Floor() {
    if (semaphoreId >= 0)
        semctl(semaphoreId, 0, IPC_RMID);
}

void Floor::processorClock() {
    floorSink = static_cast<long>(std::clock());
}

void Floor::takeAndRelease() {
    struct sembuf operation = {};
    operation.sem_op = -1;
    semop(semaphoreId, &operation, 1);
    operation.sem_op = 1;
    semop(semaphoreId, &operation, 1);
}

void Floor::wallClocks() {
    floorSink = static_cast<long>(std::time(nullptr));
    timeval now{};
    gettimeofday(&now, nullptr);
    floorSink = now.tv_usec;
}

void Floor::once() {
    processorClock();
    takeAndRelease();
    wallClocks();
    processorClock();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zovbench
