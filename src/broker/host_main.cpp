// brokerhost: plays the broker for a node library, outside any test.
//
//   brokerhost [OPTIONS] PLUGIN DEPLOYMENT
//
//   --log FILE            the broker log (every cciLog call, one line each) goes
//                         to FILE (appended) instead of standard error
//   --fork-groups         each execution group runs in a process of its own,
//                         forked from this one, as a broker runs its groups;
//                         the library is loaded in each of them
//   --then CMD            runs the shell command CMD after the workload, while
//                         every node still exists (with --fork-groups the group
//                         processes wait for it)
//   --between-stops CMD   the groups stop one after the other, in file order,
//                         and CMD runs after each stop except the last (the
//                         segment still exists then); BROKERHOST_STOPPED names
//                         the group that has just stopped
//   --start-at MS         the nodes are created and labelled at once, and get
//                         their other attributes, which makes them join the
//                         broker's tree, at this wall-clock time in
//                         milliseconds since 1970 (UTC): processes given the
//                         same time join together
//   --kill-after N        once N messages have been evaluated in a process, with
//                         none in flight, the process kills itself with SIGKILL
//
// Reads the deployment file (format in deployment.cpp), writes the broker's
// registry entry ("BrokerUUID"), loads the node library PLUGIN, creates the
// node instances of every flow with their attributes, drives the message
// workload on the flow threads once every group has deployed, prints one line
// per flow with what it sent (host_flows.h), runs the commands, and deletes
// the nodes.
//
// SIGTERM or SIGINT stops it as at the end of the workload: each flow ends
// after its message in hand, the group processes get the signal too and are
// waited for, the nodes are deleted (the last one removes the segment and the
// key files); the commands are not run.
//
// Exit status: 0 when every flow ran and every command succeeded, 1 when a
// group or a command failed, 2 for usage or deployment errors, 128 + the
// signal number after a stop by SIGTERM or SIGINT.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "broker/deployment.h"
#include "broker/harness.h"
#include "broker/host_run.h"

namespace {

using brokerhost::Options;

constexpr char kUsage[] =
    "usage: brokerhost [--log FILE] [--fork-groups] [--then CMD] [--between-stops CMD]\n"
    "                  [--start-at MS] [--kill-after N] PLUGIN DEPLOYMENT\n";

bool parseCount(const char* text, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long long number = 0;
        if (arg == "--fork-groups") {
            options.forkGroups = true;
        } else if (arg == "--log" && hasValue) {
            options.logPath = argv[++i];
        } else if (arg == "--then" && hasValue) {
            options.thenCommand = argv[++i];
        } else if (arg == "--between-stops" && hasValue) {
            options.betweenStopsCommand = argv[++i];
        } else if (arg == "--start-at" && hasValue && parseCount(argv[i + 1], number)) {
            options.startAtMs = number;
            ++i;
        } else if (arg == "--kill-after" && hasValue && parseCount(argv[i + 1], number)) {
            options.killAfter = static_cast<long>(number);
            ++i;
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    standin::Deployment d;
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
    brokerhost::installStopHandlers();
    bool ok = false;
    {
        standin::LogSink sink(log, /*keep=*/false);
        ok = options.forkGroups ? brokerhost::runForked(options, d)
                                : brokerhost::runInProcess(options, d);
    }
    if (log != stderr)
        std::fclose(log);
    if (brokerhost::stoppedBy() != 0) {
        std::fprintf(stderr, "brokerhost: stopped by signal %d, every group stopped\n",
                     brokerhost::stoppedBy());
        return 128 + brokerhost::stoppedBy();
    }
    return ok ? 0 : 1;
}
