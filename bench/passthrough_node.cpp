// A bare pass-through node library: the reference the monitored node is
// measured against. Its evaluate does what every node must do at the least,
// propagate the message to "out" (and pass a downstream exception back), and
// nothing else, so the difference between the two is the monitoring cost.
#include <new>

#include "broker/brk_api.h"

namespace {

constexpr BrkChar16 kFactoryName[] = {'P', 'a', 's', 's', 'F', 'a', 'c', 't', 'o', 'r', 'y', 0};
constexpr BrkChar16 kClassName[] = {'P', 'a', 's', 's', 'N', 'o', 'd', 'e', 0};
constexpr BrkChar16 kInName[] = {'i', 'n', 0};
constexpr BrkChar16 kOutName[] = {'o', 'u', 't', 0};

struct PassContext {
    BrkTerminal out = nullptr;
};

BrkNodeFunctions functions;

BrkContext createContext(BrkFactory, const BrkChar16*, BrkNode node) {
    auto* context = new (std::nothrow) PassContext;
    if (context != nullptr) {
        int rc = 0;
        cniCreateInputTerminal(&rc, node, kInName);
        context->out = cniCreateOutputTerminal(&rc, node, kOutName);
    }
    return context;
}

void deleteContext(BrkContext context) {
    delete static_cast<PassContext*>(context);
}

int getAttributeName(BrkContext, int, BrkChar16*, int) {
    return 1;  // no attributes
}

int setAttribute(BrkContext, const BrkChar16*, const BrkChar16*) {
    return 1;
}

int getAttribute(BrkContext, const BrkChar16*, BrkChar16*, int) {
    return 1;
}

void evaluate(BrkContext context, BrkDestinationList destinations, BrkExceptionList exceptions,
              BrkMessage message) {
    int rc = 0;
    cniPropagate(&rc, static_cast<PassContext*>(context)->out, destinations, exceptions, message);
    if (rc == BRK_RC_EXCEPTION) {
        int rethrowRc = 0;
        cciRethrowLastException(&rethrowRc);
    }
}

}  // namespace

extern "C" BRK_API BrkFactory bipGetMessageflowNodeFactory() {
    int rc = 0;
    BrkFactory factory = cniCreateNodeFactory(&rc, kFactoryName);
    if (factory != nullptr) {
        functions = {createContext, deleteContext, getAttributeName,
                     setAttribute,  getAttribute,  evaluate};
        cniDefineNodeClass(&rc, factory, kClassName, &functions);
    }
    return factory;
}
