#include "zov/core/zovcnoir.h"

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcnoir";

ZOV_NOIR::ZOV_NOIR(const ZOV_Resource_ID* id) : ZOV_REIR(ZOV_RT_NODE, id) {
    static constexpr char fn[] = "ZOV_NOIR::ZOV_NOIR";
    ZOV_ENTRY(fn);
    ZOV_EXIT(fn);
}

ZOV_NOIR& ZOV_NOIR::operator=(const ZOV_NOIR& other) {
    ZOV_REIR::operator=(other);
    nodeType = other.nodeType;
    return *this;
}

ZOV_NodeType ZOV_NOIR::getNodeType() const {
    return nodeType == ZOV_NT_INPUT || nodeType == ZOV_NT_OUTPUT
               ? static_cast<ZOV_NodeType>(nodeType)
               : ZOV_NT_OTHER;
}

int ZOV_NOIR::size() const {
    return ZOV_REIR::size() + kAddedMemberSize;
}

void* ZOV_NOIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_NOIR::get";
    ZOV_ENTRY(fn);
    void* next = getWithMember(position, limit, nodeType);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_NOIR::put(void* position) {
    static constexpr char fn[] = "ZOV_NOIR::put";
    ZOV_ENTRY(fn);
    void* next = putWithMember(position, nodeType);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_NOIR::print() {
    static constexpr char fn[] = "ZOV_NOIR::print";
    ZOV_ENTRY(fn);
    printCommon();
    ZOV_PRINT(fn, "Node type           : %i", nodeType);
    ZOV_EXIT(fn);
}
