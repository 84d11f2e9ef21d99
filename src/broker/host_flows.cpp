#include "broker/host_flows.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace brokerhost {

namespace {

using standin::Deployment;
using standin::FlowSpec;
using standin::GroupSpec;
using std::chrono::milliseconds;
using std::chrono::system_clock;

// Whether the message now travelling downstream on this flow thread throws at
// the end of the flow (downstream runs synchronously on the evaluating thread).
thread_local bool throwThisMessage = false;
// Set by the end of the flow when the message got there and did not throw.
thread_local bool endReached = false;

int64_t millisecondsOf(system_clock::time_point when) {
    return std::chrono::floor<milliseconds>(when.time_since_epoch()).count();
}

// The put time as the descriptor stores it: whole hundredths of a second.
int64_t storedPutMilliseconds(system_clock::time_point put) {
    const int64_t ms = millisecondsOf(put);
    const int64_t second = ms - ((ms % 1000) + 1000) % 1000;
    return second + (ms - second) / 10 * 10;
}

// What the flow's last node leads to: processor time, then wall-clock time,
// then the simulated failure of this message, if it is one that fails.
void attachEnd(FlowRun& run) {
    const standin::Workload& w = run.recipe->workload;
    const std::string where = run.group + "/" + run.recipe->name;
    run.nodes.back()->setDownstream(
        [cpu = w.cpuMicros, wait = w.waitMicros, where](const standin::Delivery&) {
            if (cpu > 0)
                standin::burnCpu(std::chrono::microseconds(cpu));
            if (wait > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(wait));
            // The same texts for every failure of a flow, so that the node's
            // exception events share one stored template per node.
            if (throwThisMessage)
                standin::throwDownstream("brokerhost", where, "simulated failure");
            endReached = true;
        });
}

// Creates the flow's node instances and gives each its label (its name unless
// the deployment gives one): a node joins the broker's tree only once its
// type is known too, or its attributes are listed.
bool createFlow(standin::Plugin& plugin, const Deployment& d, FlowRun& run) {
    for (const standin::NodeSpec& nodeSpec : run.recipe->nodes) {
        auto node = plugin.createNode({d.broker, run.group, run.recipe->name, nodeSpec.name});
        if (node == nullptr || node->context() == nullptr) {
            std::fprintf(stderr, "brokerhost: node %s/%s/%s: createContext returned null\n",
                         run.group.c_str(), run.recipe->name.c_str(), nodeSpec.name.c_str());
            return false;
        }
        bool labelGiven = false;
        for (const auto& [name, value] : nodeSpec.attributes)
            labelGiven |= name == "label";
        if (!labelGiven)
            node->setAttribute("label", nodeSpec.name);
        run.nodes.push_back(std::move(node));
    }
    return true;
}

// Sets the attributes in file order, lists them as a broker does when it
// shows the node, and chains the nodes.
void configureFlow(FlowRun& run) {
    for (size_t n = 0; n < run.nodes.size(); ++n) {
        standin::Node& node = *run.nodes[n];
        for (const auto& [name, value] : run.recipe->nodes[n].attributes)
            node.setAttribute(name, value);
        node.attributeNames();
        if (n > 0)
            run.nodes[n - 1]->connectTo(node);
    }
    attachEnd(run);
}

// Message identifiers as a queue manager makes them: 24 bytes unique to each
// message, not text. Big-endian fields:
//   0..3   process id
//   4..11  microseconds since 1970 when the flow thread started
//   12..15 number of the flow thread in its process (a counter)
//   16..23 number of the message in its thread
// Two threads of one process differ in their number; two processes running at
// once in their id; a process id used again, in the start of its threads.
class MessageIds {
  public:
    MessageIds() {
        static std::atomic<uint32_t> threads{0};
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                system_clock::now().time_since_epoch())
                                .count();
        put(0, static_cast<uint32_t>(getpid()), 4);
        put(4, static_cast<uint64_t>(micros), 8);
        put(12, threads.fetch_add(1), 4);
    }
    void name(standin::MessageSpec& recipe, long index) {
        put(16, static_cast<uint64_t>(index), 8);
        std::memcpy(recipe.msgId.data(), id.data(), id.size());
    }

  private:
    void put(size_t at, uint64_t value, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i)
            id[at + i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
    }
    std::array<unsigned char, 24> id{};
};
static_assert(sizeof(standin::MessageSpec::msgId) == 24, "the descriptor's message id");

std::atomic<bool> stopAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The pause between two messages, cut short by a stop.
void pauseUnlessStopped(long micros) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
    while (!stopRequested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_until(
            std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
}

// The messages of one flow thread.
void driveThread(FlowRun& run, int thread, KillSwitch& killSwitch) {
    const standin::Workload& w = run.recipe->workload;
    std::mt19937_64 random(std::hash<std::string>{}(run.group + "/" + run.recipe->name) + thread);
    std::uniform_int_distribution<size_t> sizes(w.minSize, w.maxSize);
    const auto age = std::chrono::duration_cast<system_clock::duration>(
        std::chrono::duration<double>(w.ageSeconds));
    SentFigures mine;
    MessageIds ids;
    for (long i = 0; i < w.messages && !stopRequested() && killSwitch.admit(); ++i) {
        standin::MessageSpec recipe;
        recipe.totalSize = sizes(random);
        const system_clock::time_point put = system_clock::now() - age;
        standin::putDateTimeOf(put, recipe.putDate, recipe.putTime);
        ids.name(recipe, i);
        const standin::Message message = standin::Message::fromSpec(recipe);
        throwThisMessage = standin::throwsDownstream(i, w.throwFraction);
        endReached = false;

        const int64_t putMs = storedPutMilliseconds(put);
        const int64_t before = millisecondsOf(system_clock::now());
        const standin::EvaluateResult result = run.nodes.front()->evaluate(&message);
        const int64_t after = millisecondsOf(system_clock::now());

        ++mine.evaluated;
        mine.rethrown += result.rethrown ? 1 : 0;
        mine.reachedEnd += endReached ? 1 : 0;
        mine.sizeSum += recipe.totalSize;
        mine.sizeMin = std::min<uint64_t>(mine.sizeMin, recipe.totalSize);
        mine.sizeMax = std::max<uint64_t>(mine.sizeMax, recipe.totalSize);
        mine.queuedLowMs = std::min(mine.queuedLowMs, before - putMs);
        mine.queuedHighMs = std::max(mine.queuedHighMs, after - putMs);
        killSwitch.finished();
        pauseUnlessStopped(w.pauseMicros);
    }
    std::lock_guard lock(run.figuresMutex);
    run.figures.add(mine);
}

}  // namespace

void requestStop() {
    stopAsked = true;
}

bool stopRequested() {
    return stopAsked.load(std::memory_order_relaxed);
}

void SentFigures::add(const SentFigures& other) {
    evaluated += other.evaluated;
    rethrown += other.rethrown;
    reachedEnd += other.reachedEnd;
    sizeSum += other.sizeSum;
    sizeMin = std::min(sizeMin, other.sizeMin);
    sizeMax = std::max(sizeMax, other.sizeMax);
    queuedLowMs = std::min(queuedLowMs, other.queuedLowMs);
    queuedHighMs = std::max(queuedHighMs, other.queuedHighMs);
}

bool KillSwitch::admit() {
    if (after_ <= 0 || admitted_.fetch_add(1) < after_)
        return true;
    for (;;)
        pause();  // until SIGKILL arrives
}

void KillSwitch::finished() {
    if (after_ > 0 && finished_.fetch_add(1) + 1 == after_) {
        // Every admitted message has finished and no other will start.
        std::fflush(nullptr);
        kill(getpid(), SIGKILL);
    }
}

bool createFlows(standin::Plugin& plugin, const Deployment& deployment,
                 const std::vector<const GroupSpec*>& groups, FlowRuns& runs) {
    bool allCreated = true;
    for (const GroupSpec* group : groups) {
        for (const FlowSpec& flow : group->flows) {
            auto run = std::make_unique<FlowRun>();
            run->group = group->name;
            run->recipe = &flow;
            if (createFlow(plugin, deployment, *run)) {
                runs.push_back(std::move(run));
            } else {
                allCreated = false;
            }
        }
    }
    return allCreated;
}

void configureFlows(FlowRuns& runs) {
    for (auto& run : runs)
        configureFlow(*run);
}

void runWorkload(FlowRuns& runs, KillSwitch& killSwitch) {
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (auto& run : runs) {
        for (int t = 0; t < run->recipe->workload.threads; ++t)
            threads.emplace_back(driveThread, std::ref(*run), t, std::ref(killSwitch));
    }
    for (std::thread& thread : threads)
        thread.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& run : runs)
        run->seconds = seconds;
}

void printFigures(const FlowRuns& runs) {
    for (const auto& run : runs) {
        const SentFigures& f = run->figures;
        std::printf("%s/%s: %ld evaluated, %ld rethrown, %ld reached the end", run->group.c_str(),
                    run->recipe->name.c_str(), f.evaluated, f.rethrown, f.reachedEnd);
        if (f.evaluated > 0) {
            std::printf("; sizes %llu..%llu sum %llu; queued %lld..%lld ms",
                        static_cast<unsigned long long>(f.sizeMin),
                        static_cast<unsigned long long>(f.sizeMax),
                        static_cast<unsigned long long>(f.sizeSum),
                        static_cast<long long>(f.queuedLowMs),
                        static_cast<long long>(f.queuedHighMs));
        }
        std::printf(" (pid %d, %.3f s)\n", static_cast<int>(getpid()), run->seconds);
    }
    std::fflush(stdout);
}

void stopGroup(FlowRuns& runs, const std::string& group) {
    for (auto& run : runs) {
        if (run->group != group)
            continue;
        while (!run->nodes.empty())
            run->nodes.pop_back();
    }
}

}  // namespace brokerhost
