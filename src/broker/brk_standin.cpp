// State of the stand-in broker that is not tied to one call: call counts and
// failure injection, name conversion, the log handler, exceptions and the
// per-thread last exception, and the node object's terminals.
#include "broker/brk_standin.h"

#include <array>

#include "broker/brk_internal.h"

namespace standin {
namespace {

constexpr std::array<const char*, static_cast<size_t>(Call::Count)> kCallNames = {
    "cniCreateNodeFactory",
    "cniDefineNodeClass",
    "cniCreateInputTerminal",
    "cniCreateOutputTerminal",
    "cniGetBrokerInfo",
    "cniBufferSize",
    "cniBufferPointer",
    "cniPropagate",
    "cciGetLastExceptionData",
    "cciRethrowLastException",
    "cciLog"};

// Injection modes of one call.
enum : int { kNoFailure = 0, kFailEvery = 1, kFailNth = 2 };

// Counts and injection of one call. The mode is written last, so a caller
// that sees a mode also sees its return code and target.
struct CallState {
    std::atomic<long> count{0};
    std::atomic<int> mode{kNoFailure};
    std::atomic<int> returnCode{0};
    std::atomic<long> target{0};  // absolute call number that fails in kFailNth
};

std::array<CallState, static_cast<size_t>(Call::Count)> callStates;
std::atomic<LogHandler*> logHandler{nullptr};
std::atomic<bool> lengthCountsTerminator{false};

struct LastException {
    bool set = false;
    ExceptionTexts texts;
};
// Apart from the texts: clearing them, once per evaluation, stays cheap.
thread_local std::exception_ptr originalOfThread;
std::atomic<bool> rethrowOriginal{false};
thread_local LastException lastExceptionOfThread;

CallState& stateOf(Call call) {
    return callStates[static_cast<size_t>(call)];
}

}  // namespace

const char* callName(Call call) {
    const auto index = static_cast<size_t>(call);
    return index < kCallNames.size() ? kCallNames[index] : "unknown";
}

bool callFromName(std::string_view name, Call& call) {
    for (size_t i = 0; i < kCallNames.size(); ++i) {
        if (name == kCallNames[i]) {
            call = static_cast<Call>(i);
            return true;
        }
    }
    return false;
}

void failCall(Call call, int returnCode, long nth) {
    CallState& state = stateOf(call);
    state.mode.store(kNoFailure);
    state.returnCode.store(returnCode);
    state.target.store(state.count.load() + nth);
    state.mode.store(nth > 0 ? kFailNth : kFailEvery);
}

void clearFailure(Call call) {
    stateOf(call).mode.store(kNoFailure);
}

void clearFailures() {
    for (size_t i = 0; i < callStates.size(); ++i)
        clearFailure(static_cast<Call>(i));
}

long callCount(Call call) {
    return stateOf(call).count.load();
}

bool enterCall(Call call, int* returnCode) {
    CallState& state = stateOf(call);
    const long number = state.count.fetch_add(1) + 1;
    const int mode = state.mode.load();
    const bool fails = mode == kFailEvery || (mode == kFailNth && number == state.target.load());
    if (returnCode != nullptr)
        *returnCode = fails ? state.returnCode.load() : BRK_RC_OK;
    return !fails;
}

// UTF-8 to UTF-16 as a broker hands names over: characters beyond the basic
// plane become surrogate pairs. A byte that does not start a well-formed
// sequence stands for itself (U+0080..U+00FF), so that any 8-bit text
// still reaches the node.
std::u16string widen(std::string_view text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = byte < 0x80                    ? 1
                              : byte >= 0xC2 && byte <= 0xDF ? 2
                              : byte >= 0xE0 && byte <= 0xEF ? 3
                              : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                             : 0;
        uint32_t c = length == 1 ? byte : byte & (0x7F >> length);
        bool wellFormed = length > 0 && i + length <= text.size();
        for (size_t k = 1; wellFormed && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            wellFormed = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!wellFormed || (length == 3 && c < 0x800) || (length == 4 && c < 0x10000) ||
            (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            wide.push_back(byte);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            wide.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return wide;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string narrow(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    const auto append = [&result](uint32_t c) {
        if (c < 0x80) {
            result += static_cast<char>(c);
            return;
        }
        const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
        result += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k)
            result += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            append(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            append(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }
    return result;
}

std::string lowBytes(std::u16string_view text) {
    std::string result;
    for (const char16_t c : text)
        result += static_cast<char>(c & 0xFF);
    return result;
}

std::string narrow(const BrkChar16* text) {
    if (text == nullptr)
        return {};
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return narrow(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

LogHandler::~LogHandler() = default;

LogHandler* setLogHandler(LogHandler* handler) {
    return logHandler.exchange(handler);
}

LogHandler* currentLogHandler() {
    return logHandler.load();
}

namespace {
std::string describe(const char* kind, const ExceptionTexts& texts) {
    return std::string(kind) + " in " + texts.where + " (" + texts.detail + "): " + texts.text;
}
}  // namespace

DownstreamException::DownstreamException(ExceptionTexts texts)
    : texts_(std::move(texts)), what_(describe("exception downstream", texts_)) {}
DownstreamException::~DownstreamException() = default;
const char* DownstreamException::what() const noexcept {
    return what_.c_str();
}

RethrownException::RethrownException(ExceptionTexts texts)
    : texts_(std::move(texts)), what_(describe("rethrown exception", texts_)) {}
RethrownException::~RethrownException() = default;
const char* RethrownException::what() const noexcept {
    return what_.c_str();
}

void setLastException(const ExceptionTexts& texts) {
    lastExceptionOfThread.set = true;
    lastExceptionOfThread.texts = texts;
    originalOfThread = nullptr;
}

void clearLastException() {
    lastExceptionOfThread = LastException{};
}

bool lastException(ExceptionTexts& texts) {
    if (!lastExceptionOfThread.set)
        return false;
    texts = lastExceptionOfThread.texts;
    return true;
}

const ExceptionTexts* lastExceptionStorage() {
    return lastExceptionOfThread.set ? &lastExceptionOfThread.texts : nullptr;
}

void setRethrowOriginal(bool original) {
    rethrowOriginal.store(original);
}

void keepOriginalException(std::exception_ptr caught) {
    if (rethrowOriginal.load())
        originalOfThread = std::move(caught);
}

std::exception_ptr originalException() {
    return lastExceptionOfThread.set && rethrowOriginal.load() ? originalOfThread : nullptr;
}

void setNameLengthCountsTerminator(bool counts) {
    lengthCountsTerminator.store(counts);
}

bool nameLengthCountsTerminator() {
    return lengthCountsTerminator.load();
}

}  // namespace standin

BrkTerminalObject* BrkNodeObject::addTerminal(std::u16string_view terminalName, bool output) {
    auto terminal = std::make_unique<BrkTerminalObject>();
    terminal->node = this;
    terminal->name = terminalName;
    terminal->output = output;
    std::lock_guard lock(mutex);
    if (output) {
        const auto handler = downstream.find(terminal->name);
        if (handler != downstream.end())
            terminal->downstream.store(handler->second);
    }
    terminals.push_back(std::move(terminal));
    return terminals.back().get();
}

BrkTerminalObject* BrkNodeObject::findTerminal(std::u16string_view terminalName, bool output) {
    std::lock_guard lock(mutex);
    for (const auto& terminal : terminals) {
        if (terminal->output == output && terminal->name == terminalName)
            return terminal.get();
    }
    return nullptr;
}

void BrkNodeObject::setDownstream(std::u16string_view terminalName, BrkDownstream handler) {
    std::shared_ptr<const BrkDownstream> shared;
    if (handler)
        shared = std::make_shared<const BrkDownstream>(std::move(handler));
    std::lock_guard lock(mutex);
    downstream[std::u16string(terminalName)] = shared;
    for (const auto& terminal : terminals) {
        if (terminal->output && terminal->name == terminalName)
            terminal->downstream.store(shared);
    }
}
