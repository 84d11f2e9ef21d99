// The host program's flows: node instances deployed from a deployment file,
// the message workload driven through them on flow threads, the figures the
// host itself knows about what it sent, and the flows' teardown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker/deployment.h"
#include "broker/harness.h"

namespace brokerhost {

// What the host knows of the messages of one flow, independently of what the
// node library records: the exact sizes sent, and for each message the range
// its queued time must lie in.
struct SentFigures {
    long evaluated = 0;
    long rethrown = 0;    // the node's rethrow unwound back to the host
    long reachedEnd = 0;  // the downstream end ran without throwing
    uint64_t sizeSum = 0;
    uint64_t sizeMin = UINT64_MAX;
    uint64_t sizeMax = 0;
    // Milliseconds from the put time written into the descriptor (whole
    // hundredths) to the wall clock, truncated to the millisecond, just before
    // and just after the evaluation: a node that reads the clock in between
    // computes a queued time inside [queuedLowMs, queuedHighMs].
    int64_t queuedLowMs = INT64_MAX;
    int64_t queuedHighMs = INT64_MIN;

    void add(const SentFigures& other);
};

// Ends the process with SIGKILL once a given number of messages has been
// evaluated in it, with no message in flight: every flow thread is then
// between two messages, as when an operator kills an execution group that is
// waiting for work. Its segment stays, intact, for the next start; its named
// mutexes keep its handles until removed by hand. Killed in the middle of a
// message instead, a process may hold a record's lock: a semaphore operation
// is not undone when its process dies, so that record's semaphore stays taken
// and every later updater of the record waits forever, until the semaphore
// set is removed by hand.
class KillSwitch {
  public:
    explicit KillSwitch(long after) : after_(after) {}
    // Whether the calling thread may evaluate one more message; when not, it
    // parks until the process is killed.
    bool admit();
    // Called after each admitted message; the last one kills the process.
    void finished();

  private:
    long after_;  // 0: never
    std::atomic<long> admitted_{0};
    std::atomic<long> finished_{0};
};

// One deployed flow: its chained node instances and what was sent through it.
struct FlowRun {
    std::string group;
    const standin::FlowSpec* recipe = nullptr;
    std::vector<std::unique_ptr<standin::Node>> nodes;
    std::mutex figuresMutex;  // taken once per thread, when it ends
    SentFigures figures;
    double seconds = 0;
};

// The flows of one process.
using FlowRuns = std::vector<std::unique_ptr<FlowRun>>;

// Creates the node instances of every flow of `groups` and labels them. False
// (with a message on standard error) when a node instance could not be
// created; that flow is left out, the others stay in `runs`.
bool createFlows(standin::Plugin& plugin, const standin::Deployment& deployment,
                 const std::vector<const standin::GroupSpec*>& groups, FlowRuns& runs);

// Sets the nodes' other attributes, which makes them join the broker's tree,
// and chains them.
void configureFlows(FlowRuns& runs);

// A stop asked for by SIGTERM or SIGINT: every flow thread ends after the
// message in hand, so that the nodes are deleted as in a normal stop. Safe to
// call from a signal handler.
void requestStop();
bool stopRequested();

// Drives every flow's workload on its threads and returns when all ended, or
// soon after a stop was requested.
void runWorkload(FlowRuns& runs, KillSwitch& killSwitch);

// One line per flow on standard output, flushed:
//   GROUP/FLOW: 8000 evaluated, 80 rethrown, 7920 reached the end;
//   sizes 364..8192 sum 34567890; queued 249..262 ms (pid 4711, 1.234 s)
// (on one line). The queued range is left out when nothing was evaluated.
void printFigures(const FlowRuns& runs);

// Deletes the node instances of the flows of `group`, each flow's last node
// first, as a broker does when it stops the flows.
void stopGroup(FlowRuns& runs, const std::string& group);

}  // namespace brokerhost
