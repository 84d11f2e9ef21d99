// Deployment file of the host program.
//
// Plain text, one item per line. Blank lines and lines starting with '#' or
// ';' are ignored; there are no comments at the end of a line (a value may
// contain '#'). Leading and trailing blanks of names, keys and values are
// dropped. A section starts with a header in brackets; "key = value" lines
// belong to the latest section.
//
//   [broker]                    the broker; required, once
//   name = BRK1                 broker name (required)
//   uuid = 6f0a9c7e-...         broker UUID, written to the registry (required)
//   registry = /var/wmqi/registry/   registry root (optional; this is the default)
//
//   [workload]                  defaults for every flow (optional, once)
//   messages = 1000             messages per flow thread            (default 100)
//   threads = 2                 flow threads, 1 to 256              (default 1)
//   size = 364-4096             bit stream bytes, fixed or a range  (default 364;
//                               below 364 the stream holds a cut descriptor)
//   age = 0.25                  seconds from put time to evaluation (default 0;
//                               negative puts the time in the future)
//   cpu = 200                   microseconds of processor time spent downstream
//                               of the flow's last node             (default 0)
//   wait = 5000                 microseconds of wall-clock time waited there
//                               after the processor time, using none (default 0)
//   throw = 0.01                share of messages that throw downstream, 0 to 1;
//                               spread evenly, not drawn: message i (from 0) of a
//                               thread throws when floor((i+1)*f) > floor(i*f),
//                               so each thread throws floor(messages*f) of them
//   pause = 1000                microseconds between two messages of a thread
//
//   [group ORDERS]              an execution group (one process with --fork-groups)
//
//   [flow ORDERS/OrderFlow]     a message flow of a declared group; its own
//   threads = 4                 workload keys override [workload]
//
//   [node ORDERS/OrderFlow/Monitor1]   a node instance of a declared flow
//   type = input                every line is an attribute, set in file order,
//   eventMessage = order seen   after "label" (= the node name unless given);
//   collectQueueTime = yes      a key may repeat, the value may be empty
//
// Nodes of a flow are chained in file order: a message enters the first node,
// each node's terminal "out" leads to the next node, and the last node's
// "out" leads to the workload's downstream work. Names may not contain '/'.
// Every error names its line.
#include "broker/deployment.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

namespace standin {

namespace {

constexpr size_t kMaxMessageSize = 64u << 20;

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool parseLong(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool parseDouble(const std::string& text, double& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

// Splits "a/b/c" into its parts; false when any part is empty.
bool splitPath(const std::string& path, size_t parts, std::vector<std::string>& out) {
    out.clear();
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        out.push_back(trim(path.substr(start, slash - start)));
        if (out.back().empty())
            return false;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return out.size() == parts;
}

// Applies one workload key; an empty result means success.
std::string applyWorkloadKey(Workload& w, const std::string& key, const std::string& value) {
    long number = 0;
    double real = 0;
    if (key == "messages") {
        if (!parseLong(value, number) || number < 0)
            return "messages must be a count >= 0";
        w.messages = number;
    } else if (key == "threads") {
        if (!parseLong(value, number) || number < 1 || number > 256) {
            return "threads must be 1 to 256";
        }
        w.threads = static_cast<int>(number);
    } else if (key == "size") {
        const size_t dash = value.find('-');
        long low = 0, high = 0;
        const bool ok = dash == std::string::npos
                            ? parseLong(value, low) && (high = low, true)
                            : parseLong(trim(value.substr(0, dash)), low) &&
                                  parseLong(trim(value.substr(dash + 1)), high);
        if (!ok || low < 0 || high < low || static_cast<size_t>(high) > kMaxMessageSize) {
            return "size must be N or N-M bytes with N <= M <= 67108864";
        }
        w.minSize = static_cast<size_t>(low);
        w.maxSize = static_cast<size_t>(high);
    } else if (key == "age") {
        if (!parseDouble(value, real))
            return "age must be a number of seconds";
        w.ageSeconds = real;
    } else if (key == "cpu") {
        if (!parseLong(value, number) || number < 0)
            return "cpu must be microseconds >= 0";
        w.cpuMicros = number;
    } else if (key == "wait") {
        if (!parseLong(value, number) || number < 0)
            return "wait must be microseconds >= 0";
        w.waitMicros = number;
    } else if (key == "throw") {
        if (!parseDouble(value, real) || real < 0 || real > 1)
            return "throw must be 0 to 1";
        w.throwFraction = real;
    } else if (key == "pause") {
        if (!parseLong(value, number) || number < 0)
            return "pause must be microseconds >= 0";
        w.pauseMicros = number;
    } else {
        return "unknown key '" + key + "'";
    }
    return {};
}

enum class Section { None, Broker, Workload, Group, Flow, Node };

struct Override {
    std::string key, value;
    int line;
};

class Parser {
  public:
    Parser(Deployment& deployment, DeploymentError& error) : d_(deployment), error_(error) {}

    bool line(int number, const std::string& raw);
    bool finish();

  private:
    bool fail(int number, std::string message) {
        error_ = {number, std::move(message)};
        return false;
    }
    bool header(int number, const std::string& text);
    bool keyValue(int number, const std::string& key, const std::string& value);
    GroupSpec* findGroup(const std::string& name);
    FlowSpec* findFlow(GroupSpec& group, const std::string& name);

    Deployment& d_;
    DeploymentError& error_;
    Section section_ = Section::None;
    bool sawBroker_ = false, sawWorkload_ = false;
    std::map<std::string, int> keysOfSection_;  // key -> line, for duplicates
    // The current flow and node by index: the vectors holding them grow.
    size_t group_ = 0, flow_ = 0, node_ = 0;
    // Flow workload keys by (group, flow) index, applied over the defaults
    // once the whole file is read.
    std::map<std::pair<size_t, size_t>, std::vector<Override>> overrides_;
};

GroupSpec* Parser::findGroup(const std::string& name) {
    for (GroupSpec& group : d_.groups) {
        if (group.name == name)
            return &group;
    }
    return nullptr;
}

FlowSpec* Parser::findFlow(GroupSpec& group, const std::string& name) {
    for (FlowSpec& flow : group.flows) {
        if (flow.name == name)
            return &flow;
    }
    return nullptr;
}

bool Parser::line(int number, const std::string& raw) {
    const std::string text = trim(raw);
    if (text.empty() || text[0] == '#' || text[0] == ';')
        return true;
    if (text[0] == '[')
        return header(number, text);
    const size_t equals = text.find('=');
    if (equals == std::string::npos)
        return fail(number, "expected 'key = value' or '[section]'");
    const std::string key = trim(text.substr(0, equals));
    if (key.empty())
        return fail(number, "missing key before '='");
    return keyValue(number, key, trim(text.substr(equals + 1)));
}

bool Parser::header(int number, const std::string& text) {
    if (text.back() != ']')
        return fail(number, "section header without closing ']'");
    const std::string inside = trim(text.substr(1, text.size() - 2));
    const size_t blank = inside.find_first_of(" \t");
    const std::string kind = inside.substr(0, blank);
    const std::string name = blank == std::string::npos ? "" : trim(inside.substr(blank));
    keysOfSection_.clear();
    std::vector<std::string> parts;

    if (kind == "broker" || kind == "workload") {
        if (!name.empty())
            return fail(number, "[" + kind + "] takes no name");
        bool& seen = kind == "broker" ? sawBroker_ : sawWorkload_;
        if (seen)
            return fail(number, "second [" + kind + "] section");
        seen = true;
        section_ = kind == "broker" ? Section::Broker : Section::Workload;
        return true;
    }
    if (kind == "group") {
        if (!splitPath(name, 1, parts))
            return fail(number, "[group NAME] needs a name without '/'");
        if (findGroup(parts[0]) != nullptr)
            return fail(number, "group '" + parts[0] + "' twice");
        d_.groups.push_back(GroupSpec{parts[0], number, {}});
        section_ = Section::Group;
        return true;
    }
    if (kind == "flow") {
        if (!splitPath(name, 2, parts))
            return fail(number, "[flow GROUP/FLOW] expected");
        GroupSpec* group = findGroup(parts[0]);
        if (group == nullptr)
            return fail(number, "undeclared group '" + parts[0] + "'");
        if (findFlow(*group, parts[1]) != nullptr) {
            return fail(number, "flow '" + name + "' twice");
        }
        group->flows.push_back(FlowSpec{parts[1], number, {}, {}});
        group_ = static_cast<size_t>(group - d_.groups.data());
        flow_ = group->flows.size() - 1;
        section_ = Section::Flow;
        return true;
    }
    if (kind == "node") {
        if (!splitPath(name, 3, parts))
            return fail(number, "[node GROUP/FLOW/NODE] expected");
        GroupSpec* group = findGroup(parts[0]);
        FlowSpec* flow = group != nullptr ? findFlow(*group, parts[1]) : nullptr;
        if (flow == nullptr) {
            return fail(number, "undeclared flow '" + parts[0] + "/" + parts[1] + "'");
        }
        for (const NodeSpec& node : flow->nodes) {
            if (node.name == parts[2])
                return fail(number, "node '" + name + "' twice");
        }
        flow->nodes.push_back(NodeSpec{parts[2], number, {}});
        group_ = static_cast<size_t>(group - d_.groups.data());
        flow_ = static_cast<size_t>(flow - group->flows.data());
        node_ = flow->nodes.size() - 1;
        section_ = Section::Node;
        return true;
    }
    return fail(number, "unknown section '" + kind + "'");
}

bool Parser::keyValue(int number, const std::string& key, const std::string& value) {
    if (section_ == Section::Node) {
        d_.groups[group_].flows[flow_].nodes[node_].attributes.emplace_back(key, value);
        return true;
    }
    if (section_ == Section::None)
        return fail(number, "key outside any section");
    if (section_ == Section::Group)
        return fail(number, "[group] sections take no keys");
    const auto [previous, fresh] = keysOfSection_.emplace(key, number);
    if (!fresh) {
        return fail(number,
                    "duplicate key '" + key + "' (line " + std::to_string(previous->second) + ")");
    }
    if (section_ == Section::Broker) {
        if (key == "name") {
            if (value.empty() || value.find('/') != std::string::npos) {
                return fail(number, "broker name must be non-empty, without '/'");
            }
            d_.broker = value;
        } else if (key == "uuid") {
            d_.uuid = value;
        } else if (key == "registry") {
            d_.registry = value;
        } else {
            return fail(number, "unknown key '" + key + "' in [broker]");
        }
        return true;
    }
    Workload scratch;
    const std::string problem =
        applyWorkloadKey(section_ == Section::Workload ? d_.defaults : scratch, key, value);
    if (!problem.empty())
        return fail(number, problem);
    if (section_ == Section::Flow)
        overrides_[{group_, flow_}].push_back({key, value, number});
    return true;
}

bool Parser::finish() {
    if (!sawBroker_ || d_.broker.empty())
        return fail(0, "no [broker] section with a name");
    if (d_.uuid.empty())
        return fail(0, "no broker uuid");
    bool anyFlow = false;
    for (size_t g = 0; g < d_.groups.size(); ++g) {
        for (size_t f = 0; f < d_.groups[g].flows.size(); ++f) {
            FlowSpec& flow = d_.groups[g].flows[f];
            anyFlow = true;
            if (flow.nodes.empty())
                return fail(flow.line, "flow '" + flow.name + "' has no node");
            flow.workload = d_.defaults;
            for (const Override& o : overrides_[{g, f}]) {
                applyWorkloadKey(flow.workload, o.key, o.value);
            }
        }
    }
    if (!anyFlow)
        return fail(0, "no [flow] section");
    return true;
}

}  // namespace

bool throwsDownstream(long index, double fraction) {
    return std::floor(static_cast<double>(index + 1) * fraction) >
           std::floor(static_cast<double>(index) * fraction);
}

bool parseDeployment(std::istream& in, Deployment& deployment, DeploymentError& error) {
    deployment = Deployment{};
    error = DeploymentError{};
    Parser parser(deployment, error);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        if (!parser.line(number, raw))
            return false;
    }
    return parser.finish();
}

bool loadDeployment(const std::string& path, Deployment& deployment, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be opened";
        return false;
    }
    DeploymentError problem;
    if (parseDeployment(in, deployment, problem))
        return true;
    error = path + ":" + std::to_string(problem.line) + ": " + problem.message;
    return false;
}

}  // namespace standin
