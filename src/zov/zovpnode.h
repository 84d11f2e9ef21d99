// Entry points of the plug-in library: the factory function the broker calls
// after loading it, and the six node functions it calls per node instance.
//
// Only bipGetMessageflowNodeFactory is visible outside the library; the node
// functions reach the broker through the table handed to cniDefineNodeClass.
#pragma once

#include "broker/brk_api.h"

extern "C" {
__attribute__((visibility("default"))) BrkFactory bipGetMessageflowNodeFactory();

BrkContext zovCreateNodeContext(BrkFactory factory, const BrkChar16* nodeName, BrkNode node);
void zovDeleteNodeContext(BrkContext context);
int zovGetAttributeName(BrkContext context, int index, BrkChar16* buffer, int bufferLength);
int zovSetAttribute(BrkContext context, const BrkChar16* name, const BrkChar16* value);
int zovGetAttribute(BrkContext context, const BrkChar16* name, BrkChar16* buffer, int bufferLength);
void zovEvaluate(BrkContext context, BrkDestinationList destinations, BrkExceptionList exceptions,
                 BrkMessage message);
}

// Sets bZOVTracing from the key "ZOVNodeTrace" of the configuration file:
// 1 only for the exact value "On".
void getCommonValues();

inline constexpr const char* kZOVFactoryName = "LumenaMonitorNodeFactory";
inline constexpr const char* kZOVNodeClassName = "ComLumenaMonitorNode";
