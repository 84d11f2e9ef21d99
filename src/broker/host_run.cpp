#include "broker/host_run.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "broker/host_flows.h"

namespace brokerhost {

namespace {

using standin::Deployment;
using standin::GroupSpec;

// ---------------------------------------------------------------------------
// Stopping: SIGTERM and SIGINT ask every flow thread to end after its message
// (host_flows.h); the parent also passes the signal on to each group process
// it started, then waits for them as in a normal stop, so that every node is
// deleted and the last one removes the segment and its key files.

constexpr int kMaxForwarded = 1024;
volatile sig_atomic_t forwardTo[kMaxForwarded];  // 0 once reaped
std::atomic<int> forwardCount{0};
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) {
    brokerhost::requestStop();
    stopSignal = signal;
    const int count = forwardCount.load();
    for (int i = 0; i < count; ++i) {
        const pid_t pid = forwardTo[i];
        if (pid > 0)
            kill(pid, signal);
    }
}

void forwardStopsTo(pid_t child) {
    const int index = forwardCount.load();
    if (index < kMaxForwarded) {
        forwardTo[index] = child;
        forwardCount = index + 1;
    }
    if (stopRequested())
        kill(child, stopSignal.load());  // the stop came while it was being started
}

void waitForStart(const Options& options) {
    if (!options.startAtMs)
        return;
    const std::chrono::system_clock::time_point start{
        std::chrono::milliseconds(*options.startAtMs)};
    std::this_thread::sleep_until(start);
}

// Runs a shell command; true when it exited with 0. BROKERHOST_STOPPED names
// the group that stopped last, if any.
bool runCommand(const char* option, const std::string& command, const std::string& stopped) {
    if (command.empty())
        return true;
    std::fflush(nullptr);
    if (stopped.empty()) {
        unsetenv("BROKERHOST_STOPPED");
    } else {
        setenv("BROKERHOST_STOPPED", stopped.c_str(), 1);
    }
    const int status = std::system(command.c_str());
    std::fflush(nullptr);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    std::fprintf(stderr, "brokerhost: the %s command failed (wait status %d): %s\n", option, status,
                 command.c_str());
    return false;
}

// ---------------------------------------------------------------------------
// Group processes kept in step over a socket pair each: the child reports each
// stage reached with one byte and waits for one byte before going on. A child
// that dies closes its end, which the parent reads as the end of that child;
// MSG_NOSIGNAL keeps a write to a dead child from killing the parent.

constexpr char kDeployed = 'D';
constexpr char kWorkloadDone = 'W';
constexpr char kGo = 'G';

struct Child {
    const GroupSpec* group = nullptr;
    pid_t pid = -1;
    int socket = -1;  // the parent's end
    bool alive = true;
};

bool writeByte(int fd, char byte) {
    for (;;) {
        const ssize_t n = send(fd, &byte, 1, MSG_NOSIGNAL);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// The next byte, or 0 when the other side has gone.
char readByte(int fd) {
    char byte = 0;
    for (;;) {
        const ssize_t n = recv(fd, &byte, 1, 0);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return 0;
    }
}

// Reports a stage to the parent and waits for its go. A parent that went away
// lets the child carry on by itself.
void reachStage(int socket, char stage) {
    if (writeByte(socket, stage))
        readByte(socket);
}

int runChild(const Options& options, const Deployment& d, const GroupSpec& group, int socket) {
    // Everything but the joins is done before the start time, so that only
    // the joins themselves happen at that time.
    standin::Plugin plugin(options.plugin);
    FlowRuns runs;
    bool ok = plugin.ok() && createFlows(plugin, d, {&group}, runs);
    if (!plugin.ok())
        std::fprintf(stderr, "brokerhost: %s\n", plugin.error().c_str());
    waitForStart(options);
    configureFlows(runs);
    reachStage(socket, kDeployed);
    KillSwitch killSwitch(options.killAfter);
    runWorkload(runs, killSwitch);
    printFigures(runs);
    reachStage(socket, kWorkloadDone);
    stopGroup(runs, group.name);
    std::fflush(nullptr);
    return ok ? 0 : 1;
}

// Waits until every live child has reported `stage`; a child that reports
// anything else has gone.
void awaitStage(std::vector<Child>& children, char stage) {
    for (Child& child : children) {
        if (child.alive && readByte(child.socket) != stage)
            child.alive = false;
    }
}

void release(Child& child) {
    if (child.alive && !writeByte(child.socket, kGo))
        child.alive = false;
}

// Reaps a child; true when it exited with 0.
bool reap(Child& child) {
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(child.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    for (int i = 0; i < forwardCount.load(); ++i) {
        if (forwardTo[i] == child.pid)
            forwardTo[i] = 0;  // its pid may be reused by another process
    }
    close(child.socket);
    child.alive = false;
    if (reaped < 0)
        return false;
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "brokerhost: group %s (pid %d) was killed by signal %d\n",
                     child.group->name.c_str(), static_cast<int>(child.pid), WTERMSIG(status));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool startChild(const Options& options, const Deployment& d, const GroupSpec& group,
                std::vector<Child>& children) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (pid == 0) {
        forwardCount = 0;  // a group process has no group processes of its own
        // The parent's ends, including those of earlier children, so that
        // each child sees only its own parent go away.
        for (const Child& other : children)
            close(other.socket);
        close(ends[0]);
        // A normal exit, as a group process that stops ends: leak checkers
        // of sanitizer builds then look at what the node library left.
        std::exit(runChild(options, d, group, ends[1]));
    }
    close(ends[1]);
    children.push_back(Child{&group, pid, ends[0], true});
    forwardStopsTo(pid);
    return true;
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

int stoppedBy() {
    return stopSignal.load();
}

bool runInProcess(const Options& options, const Deployment& d) {
    standin::Plugin plugin(options.plugin);
    if (!plugin.ok()) {
        std::fprintf(stderr, "brokerhost: %s\n", plugin.error().c_str());
        return false;
    }
    std::vector<const GroupSpec*> groups;
    for (const GroupSpec& group : d.groups)
        groups.push_back(&group);
    FlowRuns runs;
    bool ok = createFlows(plugin, d, groups, runs);
    waitForStart(options);
    configureFlows(runs);
    KillSwitch killSwitch(options.killAfter);
    runWorkload(runs, killSwitch);
    printFigures(runs);
    if (!stopRequested())
        ok &= runCommand("--then", options.thenCommand, "");
    for (size_t g = 0; g < groups.size(); ++g) {
        stopGroup(runs, groups[g]->name);
        if (!options.betweenStopsCommand.empty() && g + 1 < groups.size() && !stopRequested())
            ok &= runCommand("--between-stops", options.betweenStopsCommand, groups[g]->name);
    }
    return ok;
}

bool runForked(const Options& options, const Deployment& d) {
    std::vector<Child> children;
    bool ok = true;
    for (const GroupSpec& group : d.groups) {
        if (!startChild(options, d, group, children)) {
            std::perror("brokerhost: starting a group process");
            ok = false;
        }
    }
    awaitStage(children, kDeployed);
    for (Child& child : children)
        release(child);
    awaitStage(children, kWorkloadDone);
    if (!stopRequested())
        ok &= runCommand("--then", options.thenCommand, "");

    if (options.betweenStopsCommand.empty() || stopRequested()) {
        for (Child& child : children)
            release(child);
        for (Child& child : children)
            ok &= reap(child);
        return ok;
    }
    for (size_t c = 0; c < children.size(); ++c) {
        release(children[c]);
        ok &= reap(children[c]);
        if (c + 1 < children.size() && !stopRequested()) {
            ok &=
                runCommand("--between-stops", options.betweenStopsCommand, children[c].group->name);
        }
    }
    return ok;
}

}  // namespace brokerhost
