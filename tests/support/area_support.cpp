#include "support/area_support.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "zov/zovcmema.h"
#include "zov/zovctool.h"

namespace zovtest {

void writeConfig(const char* content) {
    std::filesystem::remove_all("/opt/wmqi");
    if (content != nullptr) {
        std::filesystem::create_directories("/opt/wmqi/lil");
        std::ofstream("/opt/wmqi/lil/zovpnode.cfg") << content;
    }
    ZOV_ResetEnvironmentRegistry();
}

HeaderView headerAt(const void* address) {
    const auto* p = static_cast<const unsigned char*>(address);
    HeaderView view{};
    char name[9] = {};
    std::memcpy(name, p + ZOV_Memory_Manager::kEyecatcherOffset, 8);
    view.eyecatcher = name;
    std::memcpy(&view.reserved, p + ZOV_Memory_Manager::kReservedOffset, 4);
    std::memcpy(&view.size, p + ZOV_Memory_Manager::kSizeOffset, 4);
    std::memcpy(&view.nextOffset, p + ZOV_Memory_Manager::kNextOffsetOffset, 4);
    std::memcpy(&view.lastOffset, p + ZOV_Memory_Manager::kLastOffsetOffset, 4);
    int32_t fields[10];
    std::memcpy(fields, p + ZOV_Memory_Manager::kLastUpdateOffset, sizeof fields);
    view.lastUpdate = {fields[0], fields[1], fields[2], fields[3], fields[4],
                       fields[5], fields[6], fields[7], fields[8], fields[9]};
    return view;
}

bool sameTime(const unixtime& a, const unixtime& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void corrupt(void* base, size_t offset, const void* bytes, size_t n) {
    std::memcpy(static_cast<unsigned char*>(base) + offset, bytes, n);
}

void corruptInt(void* base, size_t offset, int32_t value) {
    corrupt(base, offset, &value, sizeof value);
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
