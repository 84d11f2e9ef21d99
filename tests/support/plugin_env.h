// Test helpers for the plug-in driven through the stand-in broker's harness.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "zov/core/zovcstir.h"
#include "zov/core/zovctool.h"
#include "zov/node/zovpcont.h"
#include "zov/node/zovpmono.h"
#include "zov/node/zovpnode.h"

namespace zovtest {

inline constexpr const char* kConfigFile = "/opt/wmqi/lil/zovpnode.cfg";

// Replaces the configuration file (none when `content` is null) and forgets
// the path fixed by an earlier lookup.
inline void configure(const char* content) {
    std::filesystem::remove_all("/opt/wmqi");
    std::filesystem::remove_all("/opt/mqsi");
    if (content != nullptr)
        standin::writeTextFile(kConfigFile, content);
    ZOV_ResetEnvironmentRegistry();
}

// The plug-in linked into the test program: tests reach its objects directly.
inline std::unique_ptr<standin::Plugin> loadPlugin() {
    return std::make_unique<standin::Plugin>(&bipGetMessageflowNodeFactory);
}

inline ZOV_Node_Context* contextOf(const standin::Node& node) {
    return static_cast<ZOV_Node_Context*>(node.context());
}

inline ZOV_Monitoring_Node* monitorOf(const standin::Node& node) {
    ZOV_Node_Context* context = contextOf(node);
    return context != nullptr ? context->getMonitoringNode() : nullptr;
}

// Puts the node's stored count at the maximum: its next message resets every
// statistic. Without the lock where the node is another copy of the library's.
inline void pushToMaximum(standin::Node& node, bool locked = true) {
    ZOV_Monitoring_Node* monitor = monitorOf(node);
    ZOV_STIR* record = monitor != nullptr ? monitor->getStatisticsRecord() : nullptr;
    if (record == nullptr || record->getSharedPosition() == nullptr)
        return;
    const __float128 maximum = ZOV_STIR::kMaximumCount;
    if (locked)
        record->lock();
    std::memcpy(
        static_cast<unsigned char*>(record->getSharedPosition()) + ZOV_STIR::kMessageCountOffset,
        &maximum, sizeof maximum);
    if (locked)
        record->unlock();
}

inline std::vector<std::string> textsOf(const std::vector<standin::LogRecord>& records) {
    std::vector<std::string> texts;
    for (const auto& record : records)
        texts.push_back(record.function + " | " + record.text);
    return texts;
}

}  // namespace zovtest
