// In-process harness that plays the broker for a node library.
//
// Typical test:
//
//   standin::LogSink log;                                 // captures every cciLog call
//   standin::Plugin plugin(ZOV_PLUGIN_PATH);              // dlopen + factory entry
//   ASSERT_TRUE(plugin.ok()) << plugin.error();
//   auto node = plugin.createNode({"BRK1", "group", "flow", "node1"});
//   node->setAttribute("label", "Monitor1");
//   node->setDownstream(standin::burning(std::chrono::microseconds(200)));
//   standin::MessageSpec recipe;                            // put now, 364-byte stream
//   auto message = standin::Message::fromSpec(recipe);
//   standin::EvaluateResult r = node->evaluate(&message);
//   node.reset();                                         // deleteContext
//
// Thread-safety: several threads may call Node::evaluate on one node at once.
// Everything else (creating nodes, attributes, downstream, failure injection,
// installing a LogSink) is set up while no message is evaluated on that node.
// The LogSink is itself thread-safe and may be queried at any time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "broker/brk_standin.h"

namespace standin {

// ---------------------------------------------------------------- log capture

// One readable line (no newline) for a cciLog call, for instance
//   2024-05-01T10:20:30.123456Z 4711/4712 TRACE zovpcont:88 ZOV_Node_Context::cleanup | Entry
//   2024-05-01T10:20:30.123456Z 4711/4712 MSG2 LumenaMonitorNode zovpnode:61
//       bipGetMessageflowNodeFactory | Function ... failed ... {cniCreateNodeFactory|...|8}
// (the second on one line): time UTC, process/thread, TRACE or MSG<number> with
// the message source, unit:line, function, text, and the inserts in braces.
std::string formatLogRecord(const LogRecord& record);

// Thread-safe in-memory sink for cciLog. Installs itself as the log handler on
// construction and puts the previous handler back on destruction (destroy it
// only when no thread may still be logging). Optionally echoes every line to
// a FILE (flushed per line), and may keep nothing in memory (for long runs).
class LogSink : public LogHandler {
  public:
    explicit LogSink(FILE* echo = nullptr, bool keep = true);
    ~LogSink() override;
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    void write(const LogRecord& record) override;

    std::vector<LogRecord> all() const;
    std::vector<LogRecord> withNumber(int messageNumber) const;
    std::vector<LogRecord> traceLines() const;
    std::vector<LogRecord> ofFunction(std::string_view function) const;
    // Records whose text contains `fragment`.
    std::vector<LogRecord> containing(std::string_view fragment) const;
    size_t count() const;
    size_t countWithNumber(int messageNumber) const;
    void clear();

  private:
    template <typename Predicate>
    std::vector<LogRecord> select(Predicate keepIt) const;

    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    FILE* echo_;
    bool keep_;
    LogHandler* previous_;
};

// ------------------------------------------------------------------ messages

// PutDate "YYYYMMDD" and PutTime "HHMMSSTH" (UTC) of a point in time.
void putDateTimeOf(std::chrono::system_clock::time_point when, std::string& putDate,
                   std::string& putTime);

// What goes into a message's bit stream: a version-2 descriptor followed by
// payload bytes up to totalSize. A totalSize below BRK_MQMD_SIZE gives a
// stream holding only the first totalSize bytes of the descriptor.
struct MessageSpec {
    std::string putDate;  // 8 characters as stored; empty = current UTC date
    std::string putTime;  // 8 characters as stored; empty = current UTC time
    std::array<unsigned char, 24> msgId{};
    std::array<unsigned char, 24> correlId{};
    std::string putApplName = "brokerhost";  // blank-padded to 28 characters
    int32_t putApplType = 6;
    size_t totalSize = BRK_MQMD_SIZE;

    // Sets putDate and putTime to `seconds` before now (UTC).
    MessageSpec& putSecondsAgo(double seconds);
};

// The bit stream described by `recipe`. Dates and times are cut or blank-padded
// to 8 characters, so a test may store any text there.
std::vector<unsigned char> buildStream(const MessageSpec& recipe);

// Owns a message handle for evaluate. A null message is evaluate(nullptr).
class Message {
  public:
    static Message fromSpec(const MessageSpec& recipe);
    static Message fromBytes(std::vector<unsigned char> stream);
    static Message withoutStream();

    BrkMessage handle() const { return object_.get(); }
    const std::vector<unsigned char>& stream() const { return object_->stream; }

  private:
    Message() : object_(std::make_unique<BrkMessageObject>()) {}
    std::unique_ptr<BrkMessageObject> object_;
};

// ---------------------------------------------------------------- downstream

// One propagation as the flow downstream of a terminal receives it.
struct Delivery {
    BrkTerminal terminal;
    BrkDestinationList destinations;
    BrkExceptionList exceptions;
    BrkMessage message;
};
using Downstream = std::function<void(const Delivery& delivery)>;

// Spends `duration` of the calling thread's processor time in a busy loop.
void burnCpu(std::chrono::microseconds duration);
// Throws the exception a failing flow throws; cniPropagate reports it as 64.
[[noreturn]] void throwDownstream(std::string where, std::string detail, std::string text);

Downstream burning(std::chrono::microseconds duration);
Downstream throwing(std::string where, std::string detail, std::string text);

// --------------------------------------------------------- failure injection

// Makes the named call ("cniPropagate", "cciLog", ...) fail with returnCode,
// on every call (nth 0) or only on the nth call from now, until destroyed.
// ok() is false for an unknown call name.
class ScopedFailure {
  public:
    ScopedFailure(std::string_view callName, int returnCode, long nth = 0);
    ~ScopedFailure();
    ScopedFailure(const ScopedFailure&) = delete;
    ScopedFailure& operator=(const ScopedFailure&) = delete;
    bool ok() const { return known_; }

  private:
    Call call_{};
    bool known_ = false;
};

// --------------------------------------------------------- node library side

// Names a node instance is created with (those cniGetBrokerInfo reports; the
// node name is also passed to createContext and reported as the fourth name).
struct NodeNames {
    std::string broker = "BROKER";
    std::string executionGroup = "default";
    std::string messageFlow = "flow";
    std::string node = "node";
};

// What happened while a node evaluated one message.
struct EvaluateResult {
    bool rethrown = false;     // the node's rethrow unwound back to evaluate
    ExceptionTexts exception;  // its texts when rethrown
    int propagations = 0;      // how often the flow downstream ran
    // Every propagation passed on the destination and exception lists that
    // evaluate was given.
    bool listsAsReceived = true;
};

class Plugin;

// One node instance: created by Plugin::createNode, deleted (deleteContext)
// by its destructor or destroy().
class Node {
  public:
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    BrkContext context() const { return context_; }
    BrkNode handle() const { return object_.get(); }
    const NodeNames& names() const { return names_; }

    struct TextResult {
        int result = 0;           // what the node function returned
        std::string value;        // the buffer up to its terminator or its length
        bool terminated = false;  // a terminating 0 was written within the buffer
        bool overrun = false;     // the node wrote past the buffer length
    };
    // A bufferLength of 0 passes a null buffer.
    int setAttribute(std::string_view name, std::string_view value);
    TextResult getAttribute(std::string_view name, int bufferLength = 256);
    TextResult getAttributeName(int index, int bufferLength = 256);
    // Names for index 0, 1, ... while getAttributeName returns 0 (at most 1000).
    std::vector<std::string> attributeNames(int bufferLength = 256);

    EvaluateResult evaluate(const Message* message);
    EvaluateResult evaluate(BrkMessage message);
    EvaluateResult evaluate(std::nullptr_t) { return evaluate(static_cast<BrkMessage>(nullptr)); }

    // What runs downstream of the node's output terminal (default "out"). An
    // empty function disconnects it: the message is then dropped.
    void setDownstream(Downstream downstream, std::string_view terminal = "out");
    // Passes every message from this node's terminal on to `next`'s evaluate,
    // with the lists received; an exception rethrown by `next` travels back up.
    // `next` must outlive every evaluation that can reach it.
    void connectTo(Node& next, std::string_view terminal = "out");
    bool hasTerminal(std::string_view name, bool output) const;

    // Calls deleteContext now (once).
    void destroy();

  private:
    friend class Plugin;
    Node(const BrkNodeFunctions* functions, BrkFactory factory, NodeNames names);

    const BrkNodeFunctions* functions_;
    NodeNames names_;
    std::unique_ptr<BrkNodeObject> object_;
    BrkContext context_ = nullptr;
    bool deleted_ = false;
};

// A node library loaded by path (dlopen; never unloaded) or given by its
// entry function, with its factory entry called once on construction.
class Plugin {
  public:
    using Entry = BrkFactory (*)();
    explicit Plugin(const std::string& path);
    explicit Plugin(Entry entry);

    // The factory was created and defined at least one node class.
    bool ok() const { return functions_ != nullptr; }
    const std::string& error() const { return error_; }

    // Calls the factory entry again; returns its factory (null on failure).
    BrkFactory callEntry();

    BrkFactory factory() const { return factory_; }
    std::string factoryName() const;
    std::string className() const;  // first class defined; empty when none
    // The six-slot table given to cniDefineNodeClass (the library's own), or null.
    const BrkNodeFunctions* functions() const { return functions_; }

    // Builds a node object with `names` and calls createContext. The node is
    // returned even when createContext returned null (context() tells); null
    // only when no class was defined.
    std::unique_ptr<Node> createNode(const NodeNames& names = {});

  private:
    Entry entry_ = nullptr;
    BrkFactory factory_ = nullptr;
    const BrkNodeFunctions* functions_ = nullptr;
    std::string error_;
};

// ------------------------------------------------------------ broker's files

// Writes "<root><broker>/BrokerUUID" holding the UUID and a newline, creating
// the directories, as a broker does when it is created. False on failure.
bool writeBrokerRegistry(const std::string& broker, const std::string& uuid,
                         const std::string& root = "/var/wmqi/registry/");
// Writes a whole text file, creating its directories. False on failure.
bool writeTextFile(const std::string& path, const std::string& contents);

}  // namespace standin
