#include "zov/core/zovcbrir.h"

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcbrir";

ZOV_BRIR::ZOV_BRIR(const ZOV_Resource_ID* id) : ZOV_REIR(ZOV_RT_BROKER, id) {
    static constexpr char fn[] = "ZOV_BRIR::ZOV_BRIR";
    ZOV_ENTRY(fn);
    ZOV_EXIT(fn);
}

ZOV_BRIR& ZOV_BRIR::operator=(const ZOV_BRIR& other) {
    ZOV_REIR::operator=(other);
    resetTime = other.resetTime;
    return *this;
}

int ZOV_BRIR::size() const {
    return ZOV_REIR::size() + kAddedMemberSize;
}

void* ZOV_BRIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_BRIR::get";
    ZOV_ENTRY(fn);
    void* next = getWithMember(position, limit, resetTime);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_BRIR::put(void* position) {
    static constexpr char fn[] = "ZOV_BRIR::put";
    ZOV_ENTRY(fn);
    void* next = putWithMember(position, resetTime);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_BRIR::print() {
    static constexpr char fn[] = "ZOV_BRIR::print";
    ZOV_ENTRY(fn);
    if (resetTime == 0) {
        ZOV_PRINT(fn, "Reset Time          : n/a");
    } else {
        char text[kZOVTimeTextSize];
        ZOV_PRINT(fn, "Reset Time          : %s", ZOV_LocalTimeText(resetTime, text));
    }
    printCommon();
    ZOV_EXIT(fn);
}
