// C++ side of the stand-in broker library (libimbdfplg.so).
//
// brk_api.h is what a node library sees. This header is for the programs that
// play the broker: the test harness and the host program. It defines the
// objects behind the opaque handles, the hooks that decide what happens
// downstream of a terminal, the capture of cciLog calls, failure injection for
// every call, and the exception types that cross the node library.
//
// Thread-safety: every call of brk_api.h may be made from several threads at
// once. Configuration (downstream handlers, log handler, node names) is meant
// to be set while no message is being evaluated on the node concerned.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "broker/brk_api.h"

#define BRK_EXPORT __attribute__((visibility("default")))

namespace standin {

// Every call of brk_api.h, for counting and failure injection.
enum class Call {
    CreateNodeFactory,
    DefineNodeClass,
    CreateInputTerminal,
    CreateOutputTerminal,
    GetBrokerInfo,
    BufferSize,
    BufferPointer,
    Propagate,
    GetLastExceptionData,
    RethrowLastException,
    Log,
    Count
};

// The C name of a call ("cniPropagate"); false from callFromName for an unknown name.
BRK_EXPORT const char* callName(Call call);
BRK_EXPORT bool callFromName(std::string_view name, Call& call);

// Makes a call fail with `returnCode`: every call from now on when `nth` is 0,
// otherwise only the nth call counted from now (1 = the next one). A failing
// call sets the return code, does nothing else and returns null / 0; a failing
// cciRethrowLastException returns instead of throwing, a failing cciLog loses
// its line. Replaces an earlier injection for the same call.
BRK_EXPORT void failCall(Call call, int returnCode, long nth = 0);
BRK_EXPORT void clearFailure(Call call);
BRK_EXPORT void clearFailures();
// Number of times a call was made since the process started (failed ones included).
BRK_EXPORT long callCount(Call call);

// Conversions between the broker's 16-bit names (UTF-16) and UTF-8 text.
BRK_EXPORT std::u16string widen(std::string_view text);
BRK_EXPORT std::string narrow(const BrkChar16* text);
BRK_EXPORT std::string narrow(std::u16string_view text);
// The low byte of each unit: the 8-bit form the node makes of a name for
// file names (the registry directory of a broker, key files).
BRK_EXPORT std::string lowBytes(std::u16string_view text);

// One cciLog call, with every argument.
struct LogRecord {
    int logType = 0;
    std::string file;
    int line = 0;
    std::string function;
    std::string source;  // message source, converted to 8 bits
    int messageNumber = 0;
    std::string text;
    std::vector<std::string> inserts;
    bool nullFile = false, nullFunction = false, nullSource = false, nullText = false;
    long processId = 0;      // process of the caller
    long threadId = 0;       // kernel thread id of the caller
    double wallSeconds = 0;  // time of the call, seconds since 1970
    bool isTrace() const { return messageNumber == 0; }
};

// Receives every cciLog call. write() runs on the caller's thread, without any
// lock of the library: implementations must be thread-safe.
class BRK_EXPORT LogHandler {
  public:
    virtual ~LogHandler();
    virtual void write(const LogRecord& record) = 0;
};

// Installs the handler (null: lines are dropped) and returns the previous one.
// The handler must outlive every cciLog call that may still be running.
BRK_EXPORT LogHandler* setLogHandler(LogHandler* handler);

// The three texts of an exception thrown downstream.
struct ExceptionTexts {
    std::string where;
    std::string detail;
    std::string text;
};

// Thrown by the flow downstream of a node (see throwDownstream in harness.h);
// cniPropagate catches it and reports return code 64.
class BRK_EXPORT DownstreamException : public std::exception {
  public:
    explicit DownstreamException(ExceptionTexts texts);
    ~DownstreamException() override;
    const char* what() const noexcept override;
    const ExceptionTexts& texts() const { return texts_; }

  private:
    ExceptionTexts texts_;
    std::string what_;
};

// Thrown by cciRethrowLastException: unwinds through the node library back
// into whoever called the node's evaluate function.
class BRK_EXPORT RethrownException : public std::exception {
  public:
    explicit RethrownException(ExceptionTexts texts);
    ~RethrownException() override;
    const char* what() const noexcept override;
    const ExceptionTexts& texts() const { return texts_; }

  private:
    ExceptionTexts texts_;
    std::string what_;
};

// The calling thread's last exception caught by cniPropagate.
BRK_EXPORT void setLastException(const ExceptionTexts& texts);
BRK_EXPORT void clearLastException();
BRK_EXPORT bool lastException(ExceptionTexts& texts);

// Whether cniGetBrokerInfo counts the terminating 0 in the lengths it reports
// (default: no, as brk_api.h states).
BRK_EXPORT void setNameLengthCountsTerminator(bool counts);

// Whether cciRethrowLastException throws the very object that cniPropagate
// caught, whatever its type, as a C++ broker may (default: no, a
// RethrownException with its texts).
BRK_EXPORT void setRethrowOriginal(bool original);

}  // namespace standin

// ---- Objects behind the handles of brk_api.h ----

struct BrkNodeClass {
    std::u16string name;
    BrkNodeFunctions* functions = nullptr;  // the node library's table, kept by address
};

struct BrkFactoryObject {
    std::u16string name;
    std::mutex mutex;  // guards classes
    std::vector<BrkNodeClass> classes;
};

// What runs downstream of a terminal: the message is processed before
// cniPropagate returns. May throw (the exception is reported as return code 64).
using BrkDownstream = std::function<void(BrkTerminal terminal, BrkDestinationList destinations,
                                         BrkExceptionList exceptions, BrkMessage message)>;

struct BrkTerminalObject {
    BrkNodeObject* node = nullptr;
    std::u16string name;
    bool output = false;
    // Read at each propagation without a lock of the stand-in.
    std::atomic<std::shared_ptr<const BrkDownstream>> downstream;
};

// One node instance as the broker sees it. The names are those reported by
// cniGetBrokerInfo; `fourth` is the name the node requests and does not use.
struct BRK_EXPORT BrkNodeObject {
    std::u16string broker, executionGroup, messageFlow, fourth;
    std::mutex mutex;  // guards terminals and downstream
    std::vector<std::unique_ptr<BrkTerminalObject>> terminals;
    // Handlers by terminal name, also for terminals not created yet.
    std::map<std::u16string, std::shared_ptr<const BrkDownstream>> downstream;

    // Creates a terminal (the handler set for its name, if any, is attached).
    BrkTerminalObject* addTerminal(std::u16string_view terminalName, bool output);
    // Null when the node has no such terminal.
    BrkTerminalObject* findTerminal(std::u16string_view terminalName, bool output);
    // Attaches the handler to the named output terminal, now or when it is
    // created; an empty handler disconnects it (messages are then dropped).
    void setDownstream(std::u16string_view terminalName, BrkDownstream handler);
};

// A message: its bit stream, or none at all.
struct BrkMessageObject {
    bool hasStream = true;
    std::vector<unsigned char> stream;
};

// Destination and exception lists are only passed through.
struct BrkListObject {
    int tag = 0;
};
