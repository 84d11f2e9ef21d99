// The calls of brk_api.h as the stand-in broker implements them.
//
// Each call first counts itself and applies failure injection (enterCall); a
// failing call only sets the return code. Factories live until the process
// ends, because the node library keeps using the class table it defined.
#include <cxxabi.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>

#include "broker/brk_internal.h"

using standin::Call;
using standin::enterCall;

namespace {

std::mutex factoriesMutex;
std::vector<std::unique_ptr<BrkFactoryObject>>& factories() {
    static auto* list = new std::vector<std::unique_ptr<BrkFactoryObject>>;
    return *list;
}

std::u16string toU16(const BrkChar16* text) {
    std::u16string result;
    if (text != nullptr) {
        for (size_t i = 0; text[i] != 0; ++i)
            result.push_back(text[i]);
    }
    return result;
}

void fail(int* returnCode) {
    if (returnCode != nullptr)
        *returnCode = BRK_RC_FAILURE;
}

BrkTerminal createTerminal(Call call, int* returnCode, BrkNode node, const BrkChar16* name,
                           bool output) {
    if (!enterCall(call, returnCode))
        return nullptr;
    if (node == nullptr || name == nullptr) {
        fail(returnCode);
        return nullptr;
    }
    return node->addTerminal(toU16(name), output);
}

// Answers one name request: always the length; the name itself, cut to the
// buffer, when a buffer is given. The terminator is written only if it fits.
void answerNameRequest(BrkNameRequest& request, const std::u16string& name) {
    const bool countsTerminator = standin::nameLengthCountsTerminator();
    request.nameLength = static_cast<int>(name.size()) + (countsTerminator ? 1 : 0);
    if (request.buffer == nullptr || request.bufferLength <= 0)
        return;
    const size_t room = static_cast<size_t>(request.bufferLength);
    const size_t copied = std::min(room, name.size());
    std::copy_n(name.data(), copied, request.buffer);
    if (room > name.size())
        request.buffer[name.size()] = 0;
}

// The texts of whatever escaped from downstream. Forced unwinding (thread
// cancellation) must keep going, so it is not handled here.
standin::ExceptionTexts textsOfCurrentException() {
    try {
        throw;
    } catch (const standin::DownstreamException& e) {
        return e.texts();
    } catch (const standin::RethrownException& e) {
        return e.texts();
    } catch (const std::exception& e) {
        return {"downstream", "std::exception", e.what()};
    } catch (...) {
        return {"downstream", "unknown exception", ""};
    }
}

long currentThreadId() {
    return static_cast<long>(gettid());
}

double wallClockSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A log call without its terminating null pointer would make us read the
// caller's stack forever; beyond this many inserts the rest is ignored.
constexpr int kMaxInserts = 64;

}  // namespace

extern "C" {

BrkFactory cniCreateNodeFactory(int* returnCode, const BrkChar16* factoryName) {
    if (!enterCall(Call::CreateNodeFactory, returnCode))
        return nullptr;
    if (factoryName == nullptr) {
        fail(returnCode);
        return nullptr;
    }
    auto factory = std::make_unique<BrkFactoryObject>();
    factory->name = toU16(factoryName);
    std::lock_guard lock(factoriesMutex);
    factories().push_back(std::move(factory));
    return factories().back().get();
}

void cniDefineNodeClass(int* returnCode, BrkFactory factory, const BrkChar16* className,
                        BrkNodeFunctions* functions) {
    if (!enterCall(Call::DefineNodeClass, returnCode))
        return;
    if (factory == nullptr || className == nullptr || functions == nullptr) {
        fail(returnCode);
        return;
    }
    std::lock_guard lock(factory->mutex);
    factory->classes.push_back(BrkNodeClass{toU16(className), functions});
}

BrkTerminal cniCreateInputTerminal(int* returnCode, BrkNode node, const BrkChar16* name) {
    return createTerminal(Call::CreateInputTerminal, returnCode, node, name, false);
}

BrkTerminal cniCreateOutputTerminal(int* returnCode, BrkNode node, const BrkChar16* name) {
    return createTerminal(Call::CreateOutputTerminal, returnCode, node, name, true);
}

void cniGetBrokerInfo(int* returnCode, BrkNode node, BrkBrokerInfo* info) {
    if (!enterCall(Call::GetBrokerInfo, returnCode))
        return;
    if (node == nullptr || info == nullptr) {
        fail(returnCode);
        return;
    }
    answerNameRequest(info->broker, node->broker);
    answerNameRequest(info->executionGroup, node->executionGroup);
    answerNameRequest(info->messageFlow, node->messageFlow);
    answerNameRequest(info->fourth, node->fourth);
}

int cniBufferSize(int* returnCode, BrkMessage message) {
    if (!enterCall(Call::BufferSize, returnCode))
        return 0;
    if (message == nullptr) {
        fail(returnCode);
        return 0;
    }
    return message->hasStream ? static_cast<int>(message->stream.size()) : 0;
}

const unsigned char* cniBufferPointer(int* returnCode, BrkMessage message) {
    if (!enterCall(Call::BufferPointer, returnCode))
        return nullptr;
    if (message == nullptr) {
        fail(returnCode);
        return nullptr;
    }
    return message->hasStream ? message->stream.data() : nullptr;
}

int cniPropagate(int* returnCode, BrkTerminal terminal, BrkDestinationList destinations,
                 BrkExceptionList exceptions, BrkMessage message) {
    if (!enterCall(Call::Propagate, returnCode))
        return 0;
    if (terminal == nullptr || !terminal->output) {
        fail(returnCode);
        return 0;
    }
    const std::shared_ptr<const BrkDownstream> handler = terminal->downstream.load();
    if (!handler)
        return 0;  // unconnected terminal: the message goes nowhere
    try {
        (*handler)(terminal, destinations, exceptions, message);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        standin::setLastException(textsOfCurrentException());
        standin::keepOriginalException(std::current_exception());
        if (returnCode != nullptr)
            *returnCode = BRK_RC_EXCEPTION;
        return 0;
    }
    return 1;
}

void cciGetLastExceptionData(int* returnCode, BrkExceptionData* data) {
    if (!enterCall(Call::GetLastExceptionData, returnCode))
        return;
    const standin::ExceptionTexts* last = standin::lastExceptionStorage();
    if (data == nullptr || last == nullptr) {
        fail(returnCode);
        return;
    }
    data->where = last->where.c_str();
    data->detail = last->detail.c_str();
    data->text = last->text.c_str();
}

void cciRethrowLastException(int* returnCode) {
    if (!enterCall(Call::RethrowLastException, returnCode))
        return;
    const standin::ExceptionTexts* last = standin::lastExceptionStorage();
    if (last == nullptr) {
        fail(returnCode);
        return;
    }
    if (const std::exception_ptr original = standin::originalException())
        std::rethrow_exception(original);
    throw standin::RethrownException(*last);
}

void cciLog(int* returnCode, int logType, const char* file, int line, const char* function,
            const BrkChar16* messageSource, int messageNumber, const char* traceText, ...) {
    if (!enterCall(Call::Log, returnCode))
        return;
    standin::LogHandler* handler = standin::currentLogHandler();
    if (handler == nullptr)
        return;

    standin::LogRecord record;
    record.logType = logType;
    record.file = file != nullptr ? file : "";
    record.line = line;
    record.function = function != nullptr ? function : "";
    record.source = standin::narrow(messageSource);
    record.messageNumber = messageNumber;
    record.text = traceText != nullptr ? traceText : "";
    record.nullFile = file == nullptr;
    record.nullFunction = function == nullptr;
    record.nullSource = messageSource == nullptr;
    record.nullText = traceText == nullptr;
    record.processId = static_cast<long>(getpid());
    record.threadId = currentThreadId();
    record.wallSeconds = wallClockSeconds();

    va_list inserts;
    va_start(inserts, traceText);
    for (int i = 0; i < kMaxInserts; ++i) {
        const char* insert = va_arg(inserts, const char*);
        if (insert == nullptr)
            break;
        record.inserts.emplace_back(insert);
    }
    va_end(inserts);
    handler->write(record);
}

}  // extern "C"
