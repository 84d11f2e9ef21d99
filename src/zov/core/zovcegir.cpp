#include "zov/core/zovcegir.h"

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcegir";

ZOV_EGIR::ZOV_EGIR(const ZOV_Resource_ID* id) : ZOV_REIR(ZOV_RT_EXECUTION_GROUP, id) {
    static constexpr char fn[] = "ZOV_EGIR::ZOV_EGIR";
    ZOV_ENTRY(fn);
    ZOV_EXIT(fn);
}

ZOV_EGIR& ZOV_EGIR::operator=(const ZOV_EGIR& other) {
    ZOV_REIR::operator=(other);
    processId = other.processId;
    return *this;
}

int ZOV_EGIR::size() const {
    return ZOV_REIR::size() + kAddedMemberSize;
}

void* ZOV_EGIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_EGIR::get";
    ZOV_ENTRY(fn);
    void* next = getWithMember(position, limit, processId);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_EGIR::put(void* position) {
    static constexpr char fn[] = "ZOV_EGIR::put";
    ZOV_ENTRY(fn);
    void* next = putWithMember(position, processId);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_EGIR::print() {
    static constexpr char fn[] = "ZOV_EGIR::print";
    ZOV_ENTRY(fn);
    if (processId == 0) {
        ZOV_PRINT(fn, "Process ID          : n/a");
    } else {
        ZOV_PRINT(fn, "Process ID          : %d", processId);
    }
    printCommon();
    ZOV_EXIT(fn);
}
