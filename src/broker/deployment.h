// What the host program deploys and runs: the broker, its execution groups,
// their message flows with node instances, and the message workload. The file
// format is described at the top of deployment.cpp.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// How messages are driven through one flow.
struct Workload {
    long messages = 100;   // per flow thread
    int threads = 1;       // flow threads, each evaluating its own messages
    size_t minSize = 364;  // bit stream size in bytes, drawn in [minSize, maxSize]
    size_t maxSize = 364;
    double ageSeconds = 0;     // put time lies this long before the evaluation
    long cpuMicros = 0;        // processor time spent downstream of the last node
    long waitMicros = 0;       // wall-clock time waited downstream, without processor time
    double throwFraction = 0;  // share of messages that throw downstream, 0 to 1
    long pauseMicros = 0;      // wall-clock pause between two messages of a thread
};

// Whether message `index` (from 0) of a flow thread throws downstream: the
// throwing messages are spread evenly, floor(messages * fraction) per thread,
// so that every run of a deployment throws the same messages.
bool throwsDownstream(long index, double fraction);

struct NodeSpec {
    std::string name;
    int line = 0;
    // Attributes in file order, set with the node's set-attribute function.
    std::vector<std::pair<std::string, std::string>> attributes;
};

struct FlowSpec {
    std::string name;
    int line = 0;
    Workload workload;
    std::vector<NodeSpec> nodes;  // chained in this order
};

struct GroupSpec {
    std::string name;
    int line = 0;
    std::vector<FlowSpec> flows;
};

struct Deployment {
    std::string broker;
    std::string uuid;
    std::string registry = "/var/wmqi/registry/";
    Workload defaults;
    std::vector<GroupSpec> groups;
};

struct DeploymentError {
    int line = 0;  // 0 when the error concerns the file as a whole
    std::string message;
};

// Parses a deployment; false with the first error found.
bool parseDeployment(std::istream& in, Deployment& deployment, DeploymentError& error);
// Reads and parses a file; the error text is "path:line: message".
bool loadDeployment(const std::string& path, Deployment& deployment, std::string& error);

}  // namespace standin
