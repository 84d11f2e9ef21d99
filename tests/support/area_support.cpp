#include "support/area_support.h"

#include <chrono>
#include <thread>

#include "broker/brk_api.h"
#include "zov/zovcmema.h"

namespace zovtest {

HeaderView headerAt(const void* address) {
    const auto* p = static_cast<const unsigned char*>(address);
    HeaderView view{};
    char name[9] = {};
    std::memcpy(name, p + ZOV_Memory_Manager::kEyecatcherOffset, 8);
    view.eyecatcher = name;
    std::memcpy(&view.size, p + ZOV_Memory_Manager::kSizeOffset, 4);
    std::memcpy(&view.nextOffset, p + ZOV_Memory_Manager::kNextOffsetOffset, 4);
    std::memcpy(&view.lastOffset, p + ZOV_Memory_Manager::kLastOffsetOffset, 4);
    std::memcpy(&view.lastUpdate, p + ZOV_Memory_Manager::kLastUpdateOffset,
                sizeof view.lastUpdate);
    return view;
}

std::unique_ptr<ZOV_NOIR> nodeRecord(const char* uuid, const char* label) {
    const ZOV_String u(uuid), l(label);
    ZOV_Resource_ID id(&u, &l);
    return std::make_unique<ZOV_NOIR>(&id);
}

std::unique_ptr<ZOV_EVTR> templateRecord(const char* node, const char* text) {
    const ZOV_String group("group"), flow("flow"), label(node), message(text);
    return std::make_unique<ZOV_EVTR>(&group, &flow, &label, ZOV_NT_OTHER, &message);
}

std::unique_ptr<ZOV_EVDR> eventRecord(const ZOV_Record* parent, int threadId) {
    BrkMqmd md{};
    std::memcpy(md.putApplName, "area test", 9);
    auto event = std::make_unique<ZOV_EVDR>(&md, threadId);
    if (parent != nullptr)
        event->setParent(parent->getRecordId());
    return event;
}

void nextMillisecond() {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

}  // namespace zovtest
