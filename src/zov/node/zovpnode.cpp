#include "zov/node/zovpnode.h"

#include <cstring>
#include <new>

#include "zov/core/zovctool.h"
#include "zov/node/zovpcont.h"

static constexpr char _ZOV_UNIT_[] = "zovpnode";

namespace {

// Message source of every logged message; trace lines use an empty source.
const BrkChar16 kLogMessageSource[] = {'L', 'u', 'm', 'e', 'n', 'a', 'M', 'o', 'n',
                                       'i', 't', 'o', 'r', 'N', 'o', 'd', 'e', 0};
const BrkChar16 kTraceMessageSource[] = {0};

// The library's log sink: every line goes to the broker's log call, the
// inserts ended by a null pointer.
void brokerLog(const char* unit, int line, const char* function, int number, const char* text,
               const char* const* inserts, int count) {
    int rc = 0;
    constexpr const char* kEnd = nullptr;
    if (number == 0) {
        cciLog(&rc, BRK_LOG_TRACE, unit, line, function, kTraceMessageSource, 0, text, kEnd);
    } else if (count == 3) {
        cciLog(&rc, BRK_LOG_TRACE, unit, line, function, kLogMessageSource, number, text,
               inserts[0], inserts[1], inserts[2], kEnd);
    } else if (count == 2) {
        cciLog(&rc, BRK_LOG_TRACE, unit, line, function, kLogMessageSource, number, text,
               inserts[0], inserts[1], kEnd);
    } else {
        cciLog(&rc, BRK_LOG_TRACE, unit, line, function, kLogMessageSource, number, text,
               inserts[0], kEnd);
    }
}

}  // namespace

// Installed when the library is loaded, before the broker's first call. The
// name is what programs that link the library statically ask the linker
// for, so that this module and with it the sink are always part of them.
extern const bool ZOV_BrokerLogInstalled = (ZOV_SetLogSink(&brokerLog), true);

namespace {

// The broker keeps the address of this table for the life of the process.
BrkNodeFunctions nodeFunctions;

ZOV_Node_Context* contextOf(BrkContext context) {
    return static_cast<ZOV_Node_Context*>(context);
}

// The last line of defence of an entry point: reports the exception that
// reached it as an allocation error (the only kind the library raises).
// Logging itself must not throw out of here either.
void reportEscaped(const char* function) noexcept {
    try {
        ZOV_LOG_ALLOCATION_ERROR(function);
    } catch (...) {
    }
}

// Runs `body`, returning its result, or `failure` after an exception.
template <typename Result, typename Body>
Result guarded(const char* function, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        reportEscaped(function);
        return failure;
    }
}

}  // namespace

// The entry line is written under the switch as it was, the exit line under
// the one just read.
void getCommonValues() {
    static constexpr char fn[] = "getCommonValues";
    ZOV_ENTRY(fn);
    ZOV_String value = ZOV_FindRegistryValue(ZOV_Environment_Registry(nullptr), "ZOVNodeTrace");
    bZOVTracing = value == "On" ? 1 : 0;
    ZOV_EXIT(fn);
}

namespace {

BrkFactory createFactory() {
    static constexpr char fn[] = "bipGetMessageflowNodeFactory";
    ZOV_ENTRY(fn);
    getCommonValues();

    std::memset(&nodeFunctions, 0, sizeof nodeFunctions);
    nodeFunctions.createContext = zovCreateNodeContext;
    nodeFunctions.deleteContext = zovDeleteNodeContext;
    nodeFunctions.getAttributeName = zovGetAttributeName;
    nodeFunctions.setAttribute = zovSetAttribute;
    nodeFunctions.getAttribute = zovGetAttribute;
    nodeFunctions.evaluate = zovEvaluate;

    ZOV_String factoryName(kZOVFactoryName);
    ZOV_String className(kZOVNodeClassName);
    ZOV_TRACE(fn, "%s-%s", factoryName.getcValue(), className.getcValue());
    // The broker is still asked (and refuses a missing name, reported as its
    // failure); the cause is reported here.
    if (factoryName.status != 0 || className.status != 0)
        ZOV_LOG_ALLOCATION_ERROR(fn);

    int rc = 0;
    BrkFactory factory = cniCreateNodeFactory(&rc, factoryName.getValue());
    if (factory != nullptr) {
        cniDefineNodeClass(&rc, factory, className.getValue(), &nodeFunctions);
        if (rc != 0) {
            ZOV_String detail = ZOV_Format_Message("%i", rc);
            ZOV_LOG_CALL_FAILED("cniDefineNodeClass", fn, detail.getcValue());
        }
    } else {
        ZOV_String detail = ZOV_Format_Message("%i", rc);
        ZOV_LOG_CALL_FAILED("cniCreateNodeFactory", fn, detail.getcValue());
    }
    ZOV_EXIT_PTR(fn, factory);
    return factory;
}

}  // namespace

BrkFactory bipGetMessageflowNodeFactory() {
    return guarded("bipGetMessageflowNodeFactory", BrkFactory{nullptr}, createFactory);
}

BrkContext zovCreateNodeContext(BrkFactory, const BrkChar16*, BrkNode node) {
    static constexpr char fn[] = "zovCreateNodeContext";
    return guarded(fn, BrkContext{nullptr}, [&]() -> BrkContext {
        ZOV_ENTRY(fn);
        // A context whose construction failed is handed out all the same:
        // with both terminals in place it still passes messages on.
        auto* context = new (std::nothrow) ZOV_Node_Context(node);
        if (context == nullptr)
            ZOV_LOG_ALLOCATION_ERROR(fn);
        ZOV_EXIT_PTR(fn, context);
        return context;
    });
}

void zovDeleteNodeContext(BrkContext context) {
    static constexpr char fn[] = "zovDeleteNodeContext";
    guarded(fn, 0, [&] {
        ZOV_ENTRY(fn);
        delete contextOf(context);
        ZOV_EXIT(fn);
        return 0;
    });
}

int zovGetAttributeName(BrkContext context, int index, BrkChar16* buffer, int bufferLength) {
    static constexpr char fn[] = "zovGetAttributeName";
    return guarded(fn, 1, [&] {
        ZOV_ENTRY(fn);
        const int result = contextOf(context)->getAttributeName(index, buffer, bufferLength);
        ZOV_EXIT_RC(fn, result);
        return result;
    });
}

int zovSetAttribute(BrkContext context, const BrkChar16* name, const BrkChar16* value) {
    static constexpr char fn[] = "zovSetAttribute";
    return guarded(fn, 1, [&] {
        ZOV_ENTRY(fn);
        const int result = contextOf(context)->setAttributeValue(name, value);
        ZOV_EXIT_RC(fn, result);
        return result;
    });
}

int zovGetAttribute(BrkContext context, const BrkChar16* name, BrkChar16* buffer,
                    int bufferLength) {
    static constexpr char fn[] = "zovGetAttribute";
    return guarded(fn, 1, [&] {
        ZOV_ENTRY(fn);
        const int result = contextOf(context)->getAttributeValue(name, buffer, bufferLength);
        ZOV_EXIT_RC(fn, result);
        return result;
    });
}

namespace {

// Set while the broker's rethrow runs on this thread: what it throws is the
// broker's, not an allocation failure of the library.
thread_local bool passingBack = false;

// True when the exception being handled came from the broker's rethrow.
bool endPassingBack() {
    const bool broker = passingBack;
    passingBack = false;
    return broker;
}

}  // namespace

void ZOV_PassBackLastException() {
    passingBack = true;
    int rc = 0;
    cciRethrowLastException(&rc);
    passingBack = false;  // it returned: nothing was thrown
}

// A downstream exception that the context passes back to the broker unwinds
// through here untouched, whatever its type; nothing below needs cleaning up
// on that path.
void zovEvaluate(BrkContext context, BrkDestinationList destinations, BrkExceptionList exceptions,
                 BrkMessage message) {
    static constexpr char fn[] = "zovEvaluate";
    try {
        ZOV_ENTRY(fn);
        contextOf(context)->processMessage(destinations, exceptions, message);
        ZOV_EXIT(fn);
    } catch (const std::bad_alloc&) {
        if (endPassingBack())
            throw;
        reportEscaped(fn);
    } catch (...) {
        endPassingBack();
        throw;
    }
}
