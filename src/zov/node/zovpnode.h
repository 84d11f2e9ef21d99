// Entry points of the plug-in library: the factory function the broker calls
// after loading it, and the six node functions it calls per node instance.
//
// These seven functions are exported under their plain C names (everything
// else in the library is hidden); the broker reaches the node functions
// through the table handed to cniDefineNodeClass.
//
// No exception leaves them: a broker written in C would terminate. The
// library's own code raises none but std::bad_alloc (from the standard
// containers it guards, as a last resort); each function reports it as
// "Allocation Error in <function>" and returns its failure: a null factory
// or context, 1 (no such attribute) from the attribute functions.
// zovEvaluate catches only the library's own std::bad_alloc: whatever the
// broker's rethrow of a downstream exception throws, whatever its type
// (std::bad_alloc included), goes on unwinding through it as it came.
#pragma once

#include "broker/brk_api.h"

#define ZOV_EXPORT __attribute__((visibility("default")))

extern "C" {
ZOV_EXPORT BrkFactory bipGetMessageflowNodeFactory();

ZOV_EXPORT BrkContext zovCreateNodeContext(BrkFactory factory, const BrkChar16* nodeName,
                                           BrkNode node);
ZOV_EXPORT void zovDeleteNodeContext(BrkContext context);
ZOV_EXPORT int zovGetAttributeName(BrkContext context, int index, BrkChar16* buffer,
                                   int bufferLength);
ZOV_EXPORT int zovSetAttribute(BrkContext context, const BrkChar16* name, const BrkChar16* value);
ZOV_EXPORT int zovGetAttribute(BrkContext context, const BrkChar16* name, BrkChar16* buffer,
                               int bufferLength);
ZOV_EXPORT void zovEvaluate(BrkContext context, BrkDestinationList destinations,
                            BrkExceptionList exceptions, BrkMessage message);
}

// Sets bZOVTracing from the key "ZOVNodeTrace" of the configuration file:
// 1 only for the exact value "On". Not exported: only the factory calls it.
extern "C" void getCommonValues();

// Hands the exception that the last propagation on this thread reported back
// to the broker (cciRethrowLastException), marked so that zovEvaluate lets
// whatever it throws pass untouched.
void ZOV_PassBackLastException();

inline constexpr const char* kZOVFactoryName = "LumenaMonitorNodeFactory";
inline constexpr const char* kZOVNodeClassName = "ComLumenaMonitorNode";
