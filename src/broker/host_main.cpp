// brokerhost: plays the broker for a node library, outside any test.
//
//   brokerhost [--log FILE] [--fork-groups] PLUGIN DEPLOYMENT
//
// Reads the deployment file (format in deployment.cpp), writes the broker's
// registry entry ("BrokerUUID"), loads the node library PLUGIN, creates the
// node instances of every flow with their attributes, drives the message
// workload on the flow threads, deletes the nodes and prints one summary line
// per flow on standard output. The broker log (every cciLog call, one line
// each) goes to FILE (appended) or to standard error.
//
// With --fork-groups each execution group runs in a process of its own, as a
// broker runs its execution groups; the library is loaded in each of them.
// Exit status: 0 when every flow ran, 1 when a group failed, 2 for usage or
// deployment errors.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "broker/deployment.h"
#include "broker/harness.h"

namespace {

using standin::Deployment;
using standin::FlowSpec;
using standin::GroupSpec;
using standin::Node;

struct Options {
    std::string plugin, deployment, logPath;
    bool forkGroups = false;
};

bool parseOptions(int argc, char** argv, Options& options) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fork-groups") {
            options.forkGroups = true;
        } else if (arg == "--log" && i + 1 < argc) {
            options.logPath = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        return false;
    options.plugin = positional[0];
    options.deployment = positional[1];
    return true;
}

// What the flow's last node leads to; decided per message on the flow thread
// that evaluates it (downstream runs synchronously on that thread).
thread_local bool throwThisMessage = false;
thread_local long messageOfThread = 0;

// One deployed flow: its chained nodes and its counters.
struct FlowRun {
    std::string group;
    const FlowSpec* spec = nullptr;
    std::vector<std::unique_ptr<Node>> nodes;
    std::atomic<long> evaluated{0}, rethrown{0}, reachedEnd{0};
    double seconds = 0;
};

// Creates the flow's nodes, sets their attributes and chains them. False
// (with a message) when a node instance could not be created.
bool deployFlow(standin::Plugin& plugin, const Deployment& d, FlowRun& run) {
    for (const standin::NodeSpec& nodeSpec : run.spec->nodes) {
        auto node = plugin.createNode({d.broker, run.group, run.spec->name, nodeSpec.name});
        if (node == nullptr || node->context() == nullptr) {
            std::fprintf(stderr, "brokerhost: node %s/%s/%s: createContext returned null\n",
                         run.group.c_str(), run.spec->name.c_str(), nodeSpec.name.c_str());
            return false;
        }
        bool labelGiven = false;
        for (const auto& [name, value] : nodeSpec.attributes)
            labelGiven |= name == "label";
        if (!labelGiven)
            node->setAttribute("label", nodeSpec.name);
        for (const auto& [name, value] : nodeSpec.attributes)
            node->setAttribute(name, value);
        node->attributeNames();  // a broker lists them when it shows the node
        if (!run.nodes.empty())
            run.nodes.back()->connectTo(*node);
        run.nodes.push_back(std::move(node));
    }
    const long cpu = run.spec->workload.cpuMicros;
    FlowRun* self = &run;
    run.nodes.back()->setDownstream([self, cpu](const standin::Delivery&) {
        if (cpu > 0)
            standin::burnCpu(std::chrono::microseconds(cpu));
        if (throwThisMessage) {
            standin::throwDownstream(
                "brokerhost", self->group + "/" + self->spec->name,
                "simulated failure of message " + std::to_string(messageOfThread));
        }
        self->reachedEnd.fetch_add(1);
    });
    return true;
}

// The messages of one flow thread.
void driveThread(FlowRun& run, int thread) {
    const standin::Workload& w = run.spec->workload;
    std::mt19937_64 random(std::hash<std::string>{}(run.group + "/" + run.spec->name) + thread);
    std::uniform_int_distribution<size_t> sizes(w.minSize, w.maxSize);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (long i = 0; i < w.messages; ++i) {
        standin::MessageSpec spec;
        spec.totalSize = sizes(random);
        spec.putSecondsAgo(w.ageSeconds);
        const std::string id =
            run.spec->name + "/" + std::to_string(thread) + "/" + std::to_string(i);
        std::memcpy(spec.msgId.data(), id.data(), std::min(id.size(), spec.msgId.size()));
        const standin::Message message = standin::Message::fromSpec(spec);
        throwThisMessage = unit(random) < w.throwFraction;
        messageOfThread = i;
        const standin::EvaluateResult result = run.nodes.front()->evaluate(&message);
        run.evaluated.fetch_add(1);
        if (result.rethrown)
            run.rethrown.fetch_add(1);
        if (w.pauseMicros > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(w.pauseMicros));
    }
}

// Runs the flows of the given groups in this process; true when all ran.
bool runGroups(const Options& options, const Deployment& d,
               const std::vector<const GroupSpec*>& groups) {
    standin::Plugin plugin(options.plugin);
    if (!plugin.ok()) {
        std::fprintf(stderr, "brokerhost: %s\n", plugin.error().c_str());
        return false;
    }
    std::vector<std::unique_ptr<FlowRun>> runs;
    bool allDeployed = true;
    for (const GroupSpec* group : groups) {
        for (const FlowSpec& flow : group->flows) {
            auto run = std::make_unique<FlowRun>();
            run->group = group->name;
            run->spec = &flow;
            if (deployFlow(plugin, d, *run)) {
                runs.push_back(std::move(run));
            } else {
                allDeployed = false;
            }
        }
    }

    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (auto& run : runs) {
        for (int t = 0; t < run->spec->workload.threads; ++t) {
            threads.emplace_back(driveThread, std::ref(*run), t);
        }
    }

    for (std::thread& thread : threads)
        thread.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    for (auto& run : runs) {
        std::printf("%s/%s: %ld evaluated, %ld rethrown, %ld reached the end (pid %d, %.3f s)\n",
                    run->group.c_str(), run->spec->name.c_str(), run->evaluated.load(),
                    run->rethrown.load(), run->reachedEnd.load(), static_cast<int>(getpid()),
                    seconds);
        // Stopping a flow deletes its nodes, the last one first.
        while (!run->nodes.empty())
            run->nodes.pop_back();
    }
    std::fflush(stdout);
    return allDeployed;
}

// One process per execution group; true when every child succeeded.
bool runForked(const Options& options, const Deployment& d, FILE* log) {
    std::vector<pid_t> children;
    for (const GroupSpec& group : d.groups) {
        std::fflush(stdout);
        std::fflush(log);
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("brokerhost: fork");
            return false;
        }
        if (pid == 0) {
            const bool ok = runGroups(options, d, {&group});
            std::fflush(nullptr);
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    bool allOk = true;
    for (const pid_t child : children) {
        int status = 0;
        if (waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            allOk = false;
        }
    }
    return allOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: brokerhost [--log FILE] [--fork-groups] PLUGIN DEPLOYMENT\n");
        return 2;
    }
    Deployment d;
    std::string error;
    if (!standin::loadDeployment(options.deployment, d, error)) {
        std::fprintf(stderr, "brokerhost: %s\n", error.c_str());
        return 2;
    }
    if (!standin::writeBrokerRegistry(d.broker, d.uuid, d.registry)) {
        std::fprintf(stderr, "brokerhost: cannot write the registry entry under %s: %s\n",
                     d.registry.c_str(), std::strerror(errno));
        return 1;
    }
    FILE* log = stderr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "a");
        if (log == nullptr) {
            std::fprintf(stderr, "brokerhost: %s: %s\n", options.logPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    bool ok = false;
    {
        standin::LogSink sink(log, /*keep=*/false);
        if (options.forkGroups) {
            ok = runForked(options, d, log);
        } else {
            std::vector<const GroupSpec*> groups;
            for (const GroupSpec& group : d.groups)
                groups.push_back(&group);
            ok = runGroups(options, d, groups);
        }
    }
    if (log != stderr)
        std::fclose(log);
    return ok ? 0 : 1;
}
