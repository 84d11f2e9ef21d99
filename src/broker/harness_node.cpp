// Loading a node library, driving its node functions, and the flow downstream.
#include <dlfcn.h>
#include <time.h>

#include "broker/harness.h"

namespace standin {

namespace {

// A zero-terminated 16-bit copy of an 8-bit text, as the broker passes names.
std::vector<BrkChar16> brokerText(std::string_view text) {
    const std::u16string units = widen(text);
    std::vector<BrkChar16> wide(units.begin(), units.end());
    wide.push_back(0);
    return wide;
}

// One evaluation running on this thread; nested when nodes are chained.
struct ActiveEvaluation {
    const Node* node;
    BrkDestinationList destinations;
    BrkExceptionList exceptions;
    EvaluateResult* result;
};
thread_local std::vector<ActiveEvaluation> activeEvaluations;

// Notes a propagation from `node` against the evaluation that node is in.
void notePropagation(const Node* node, BrkDestinationList destinations,
                     BrkExceptionList exceptions) {
    for (auto it = activeEvaluations.rbegin(); it != activeEvaluations.rend(); ++it) {
        if (it->node != node)
            continue;
        ++it->result->propagations;
        if (destinations != it->destinations || exceptions != it->exceptions) {
            it->result->listsAsReceived = false;
        }
        return;
    }
}

// Runs the node's evaluate with the evaluation registered; exceptions pass.
void runEvaluate(const Node& node, const BrkNodeFunctions* functions,
                 BrkDestinationList destinations, BrkExceptionList exceptions, BrkMessage message,
                 EvaluateResult& result) {
    activeEvaluations.push_back({&node, destinations, exceptions, &result});
    struct Pop {
        ~Pop() { activeEvaluations.pop_back(); }
    } pop;
    functions->evaluate(node.context(), destinations, exceptions, message);
}

// Spare characters after an attribute buffer, to catch writes past its length.
constexpr int kGuard = 8;
constexpr BrkChar16 kUnwritten = 0xFFFF;

}  // namespace

// ------------------------------------------------------------- downstream

void burnCpu(std::chrono::microseconds duration) {
    auto threadCpuMicros = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    };
    const long long end = threadCpuMicros() + duration.count();
    volatile unsigned long sink = 0;
    while (threadCpuMicros() < end) {
        for (int i = 0; i < 64; ++i)
            sink = sink + static_cast<unsigned long>(i);
    }
}

void throwDownstream(std::string where, std::string detail, std::string text) {
    throw DownstreamException({std::move(where), std::move(detail), std::move(text)});
}

Downstream burning(std::chrono::microseconds duration) {
    return [duration](const Delivery&) { burnCpu(duration); };
}

Downstream throwing(std::string where, std::string detail, std::string text) {
    return [=](const Delivery&) { throwDownstream(where, detail, text); };
}

ScopedFailure::ScopedFailure(std::string_view callName, int returnCode, long nth) {
    known_ = callFromName(callName, call_);
    if (known_)
        failCall(call_, returnCode, nth);
}

ScopedFailure::~ScopedFailure() {
    if (known_)
        clearFailure(call_);
}

// ------------------------------------------------------------------- node

Node::Node(const BrkNodeFunctions* functions, BrkFactory factory, NodeNames names)
    : functions_(functions), names_(std::move(names)), object_(new BrkNodeObject) {
    object_->broker = widen(names_.broker);
    object_->executionGroup = widen(names_.executionGroup);
    object_->messageFlow = widen(names_.messageFlow);
    object_->fourth = widen(names_.node);
    const std::vector<BrkChar16> nodeName = brokerText(names_.node);
    context_ = functions_->createContext(factory, nodeName.data(), object_.get());
}

Node::~Node() {
    destroy();
}

void Node::destroy() {
    if (deleted_ || context_ == nullptr)
        return;
    deleted_ = true;
    functions_->deleteContext(context_);
}

int Node::setAttribute(std::string_view name, std::string_view value) {
    const std::vector<BrkChar16> wideName = brokerText(name), wideValue = brokerText(value);
    return functions_->setAttribute(context_, wideName.data(), wideValue.data());
}

namespace {

// Calls `fill` with a guarded buffer of `bufferLength` characters (a null
// buffer for 0) and reads back what it wrote.
template <typename Fill>
Node::TextResult readBack(int bufferLength, Fill fill) {
    Node::TextResult result;
    if (bufferLength <= 0) {
        result.result = fill(nullptr, 0);
        return result;
    }
    std::vector<BrkChar16> buffer(static_cast<size_t>(bufferLength) + kGuard, kUnwritten);
    result.result = fill(buffer.data(), bufferLength);
    for (int i = 0; i < bufferLength; ++i) {
        if (buffer[i] == 0) {
            result.terminated = true;
            break;
        }
        if (buffer[i] == kUnwritten)
            break;
        result.value.push_back(buffer[i] <= 0xFF ? static_cast<char>(buffer[i]) : '?');
    }
    for (int i = bufferLength; i < bufferLength + kGuard; ++i) {
        if (buffer[i] != kUnwritten)
            result.overrun = true;
    }
    return result;
}

}  // namespace

Node::TextResult Node::getAttribute(std::string_view name, int bufferLength) {
    const std::vector<BrkChar16> wideName = brokerText(name);
    return readBack(bufferLength, [&](BrkChar16* buffer, int length) {
        return functions_->getAttribute(context_, wideName.data(), buffer, length);
    });
}

Node::TextResult Node::getAttributeName(int index, int bufferLength) {
    return readBack(bufferLength, [&](BrkChar16* buffer, int length) {
        return functions_->getAttributeName(context_, index, buffer, length);
    });
}

std::vector<std::string> Node::attributeNames(int bufferLength) {
    std::vector<std::string> names;
    for (int index = 0; index < 1000; ++index) {
        TextResult name = getAttributeName(index, bufferLength);
        if (name.result != 0)
            break;
        names.push_back(std::move(name.value));
    }
    return names;
}

EvaluateResult Node::evaluate(const Message* message) {
    return evaluate(message != nullptr ? message->handle() : nullptr);
}

EvaluateResult Node::evaluate(BrkMessage message) {
    BrkListObject destinations{1}, exceptions{2};
    EvaluateResult result;
    if (activeEvaluations.empty())
        clearLastException();
    try {
        runEvaluate(*this, functions_, &destinations, &exceptions, message, result);
    } catch (const RethrownException& e) {
        result.rethrown = true;
        result.exception = e.texts();
    }
    return result;
}

void Node::setDownstream(Downstream downstream, std::string_view terminal) {
    const Node* self = this;
    object_->setDownstream(widen(terminal),
                           [self, downstream](BrkTerminal t, BrkDestinationList destinations,
                                              BrkExceptionList exceptions, BrkMessage message) {
                               notePropagation(self, destinations, exceptions);
                               if (downstream)
                                   downstream(Delivery{t, destinations, exceptions, message});
                           });
}

void Node::connectTo(Node& next, std::string_view terminal) {
    Node* target = &next;
    setDownstream(
        [target](const Delivery& delivery) {
            EvaluateResult ignored;
            runEvaluate(*target, target->functions_, delivery.destinations, delivery.exceptions,
                        delivery.message, ignored);
        },
        terminal);
}

bool Node::hasTerminal(std::string_view name, bool output) const {
    return object_->findTerminal(widen(name), output) != nullptr;
}

// ----------------------------------------------------------------- plugin

Plugin::Plugin(const std::string& path) {
    // Never unloaded: the broker keeps the library's class table.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* reason = dlerror();
        error_ = "dlopen " + path + ": " + (reason != nullptr ? reason : "failed");
        return;
    }
    entry_ = reinterpret_cast<Entry>(dlsym(library, "bipGetMessageflowNodeFactory"));
    if (entry_ == nullptr) {
        error_ = path + ": no bipGetMessageflowNodeFactory";
        return;
    }
    callEntry();
}

Plugin::Plugin(Entry entry) : entry_(entry) {
    callEntry();
}

BrkFactory Plugin::callEntry() {
    if (entry_ == nullptr)
        return nullptr;
    factory_ = entry_();
    functions_ = nullptr;
    error_.clear();
    if (factory_ == nullptr) {
        error_ = "the factory entry returned no factory";
        return nullptr;
    }
    std::lock_guard lock(factory_->mutex);
    if (factory_->classes.empty()) {
        error_ = "the factory defines no node class";
    } else {
        functions_ = factory_->classes.front().functions;
    }
    return factory_;
}

std::string Plugin::factoryName() const {
    return factory_ != nullptr ? narrow(factory_->name) : std::string();
}

std::string Plugin::className() const {
    if (factory_ == nullptr)
        return {};
    std::lock_guard lock(factory_->mutex);
    return factory_->classes.empty() ? std::string() : narrow(factory_->classes.front().name);
}

std::unique_ptr<Node> Plugin::createNode(const NodeNames& names) {
    if (functions_ == nullptr)
        return nullptr;
    return std::unique_ptr<Node>(new Node(functions_, factory_, names));
}

}  // namespace standin
