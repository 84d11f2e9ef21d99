#include "zov/core/zovcreid.h"

#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcreid";

ZOV_Resource_ID::ZOV_Resource_ID(const ZOV_String* uuid, const ZOV_String* label) {
    static constexpr char fn[] = "ZOV_Resource_ID::ZOV_Resource_ID";
    ZOV_ENTRY(fn);
    setUuid(uuid);
    setLabel(label);
    ZOV_EXIT(fn);
}

void ZOV_Resource_ID::setLabel(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_Resource_ID::setLabel";
    ZOV_ENTRY(fn);
    if (text != nullptr)
        label = *text;
    ZOV_EXIT(fn);
}

void ZOV_Resource_ID::setUuid(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_Resource_ID::setUuid";
    ZOV_ENTRY(fn);
    if (text != nullptr)
        uuid = *text;
    ZOV_EXIT(fn);
}

int ZOV_Resource_ID::alike(const ZOV_Resource_ID* other) const {
    static constexpr char fn[] = "ZOV_Resource_ID::alike";
    ZOV_ENTRY(fn);
    const int result = other != nullptr && label == other->label && uuid == other->uuid ? 1 : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}
