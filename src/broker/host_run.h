// The stages of a host run: every group deploys its flows, the workload runs
// once all of them are deployed (a node that joins resets every statistic of
// the broker, so no message may be counted before the last join), the
// figures are printed, an optional command runs while every node still
// exists, and the groups stop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "broker/deployment.h"

namespace brokerhost {

struct Options {
    std::string plugin;
    std::string deployment;
    std::string logPath;
    bool forkGroups = false;
    // Shell command run after the workload, while every node still exists.
    std::string thenCommand;
    // Shell command run after each group's stop except the last; the groups
    // then stop one after the other, in deployment order.
    std::string betweenStopsCommand;
    // Wall-clock time, milliseconds since 1970, at which the nodes join.
    std::optional<int64_t> startAtMs;
    // Messages after which each process kills itself; 0 for never.
    long killAfter = 0;
};

// SIGTERM and SIGINT stop the run cleanly: the flows end after the message in
// hand, group processes get the signal passed on and are waited for, and the
// nodes are deleted. stoppedBy() gives the signal that stopped it, or 0.
void installStopHandlers();
int stoppedBy();

// Runs every group in this process. True when every flow was deployed and
// every command succeeded.
bool runInProcess(const Options& options, const standin::Deployment& deployment);

// Runs each group in a process of its own, forked from this one, and keeps
// them in step. True when every group process ended normally with success and
// every command succeeded.
bool runForked(const Options& options, const standin::Deployment& deployment);

}  // namespace brokerhost
