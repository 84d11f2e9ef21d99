// The broker's plug-in interface as the lumenaview program sees it: there is
// no broker. The viewer reuses the library's record and segment classes, which
// are linked with the node's entry code and log through the broker; defining
// the calls here keeps the program from needing the broker's library, so it
// runs on any host. Nothing here is reached by a viewer's work: every call
// fails, and log lines go nowhere, as with a broker that has no log handler.
#include <cstdlib>

#include "broker/brk_api.h"

namespace {

void refuse(int* returnCode) {
    if (returnCode != nullptr)
        *returnCode = BRK_RC_FAILURE;
}

}  // namespace

extern "C" {

BrkFactory cniCreateNodeFactory(int* returnCode, const BrkChar16*) {
    refuse(returnCode);
    return nullptr;
}

void cniDefineNodeClass(int* returnCode, BrkFactory, const BrkChar16*, BrkNodeFunctions*) {
    refuse(returnCode);
}

BrkTerminal cniCreateInputTerminal(int* returnCode, BrkNode, const BrkChar16*) {
    refuse(returnCode);
    return nullptr;
}

BrkTerminal cniCreateOutputTerminal(int* returnCode, BrkNode, const BrkChar16*) {
    refuse(returnCode);
    return nullptr;
}

void cniGetBrokerInfo(int* returnCode, BrkNode, BrkBrokerInfo*) {
    refuse(returnCode);
}

int cniBufferSize(int* returnCode, BrkMessage) {
    refuse(returnCode);
    return 0;
}

const unsigned char* cniBufferPointer(int* returnCode, BrkMessage) {
    refuse(returnCode);
    return nullptr;
}

int cniPropagate(int* returnCode, BrkTerminal, BrkDestinationList, BrkExceptionList, BrkMessage) {
    refuse(returnCode);
    return 0;
}

void cciGetLastExceptionData(int* returnCode, BrkExceptionData*) {
    refuse(returnCode);
}

// There is no exception to go back to: reaching this is a fault of the program.
void cciRethrowLastException(int*) {
    std::abort();
}

void cciLog(int* returnCode, int, const char*, int, const char*, const BrkChar16*, int, const char*,
            ...) {
    if (returnCode != nullptr)
        *returnCode = BRK_RC_OK;
}

}  // extern "C"
