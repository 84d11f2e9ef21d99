// Test helpers for the plug-in layer: the configuration file, the broker's
// registry, the statically linked plug-in driven through the stand-in
// broker's harness, and queries of the captured log.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "broker/harness.h"
#include "zov/zovcstir.h"
#include "zov/zovctool.h"
#include "zov/zovpcont.h"
#include "zov/zovpmono.h"
#include "zov/zovpnode.h"

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

// The plug-in linked into the test program, its factory entry called once:
// tests reach its objects directly and count what it does.
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

// Puts the node's stored message count at the maximum, as a long-running
// node would reach it; its next message resets every statistic.
inline void pushToMaximum(standin::Node& node) {
    ZOV_Monitoring_Node* monitor = monitorOf(node);
    ZOV_STIR* record = monitor != nullptr ? monitor->getStatisticsRecord() : nullptr;
    if (record == nullptr || record->getSharedPosition() == nullptr)
        return;
    const __float128 maximum = ZOV_STIR::kMaximumCount;
    record->lock();
    std::memcpy(
        static_cast<unsigned char*>(record->getSharedPosition()) + ZOV_STIR::kMessageCountOffset,
        &maximum, sizeof maximum);
    record->unlock();
}

// Texts of the captured lines, for readable failure output.
inline std::vector<std::string> textsOf(const std::vector<standin::LogRecord>& records) {
    std::vector<std::string> texts;
    for (const auto& record : records)
        texts.push_back(record.function + " | " + record.text);
    return texts;
}

}  // namespace zovtest
