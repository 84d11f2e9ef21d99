#include "zov/core/zovcreir.h"

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcreir";

ZOV_REIR::ZOV_REIR(const ZOV_RecordType type, const ZOV_Resource_ID* id)
    : ZOV_Record(type, id != nullptr ? 1 : 0) {
    static constexpr char fn[] = "ZOV_REIR::ZOV_REIR";
    ZOV_ENTRY(fn);
    if (id != nullptr) {
        setUuid(&id->uuid);
        setLabel(&id->label);
    }
    ZOV_EXIT(fn);
}

ZOV_REIR& ZOV_REIR::operator=(const ZOV_REIR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    uuid = other.uuid;
    label = other.label;
    return *this;
}

int ZOV_REIR::size() const {
    return ZOV_Record_Header::kSize + uuid.binarySize() + label.binarySize();
}

void* ZOV_REIR::getCommonImage(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_REIR::get";
    if (position == nullptr)
        return nullptr;
    void* next = getHeaderImage(position, limit);
    if (next != nullptr)
        next = ZOV_GetStringImage(uuid, next, limit);
    if (next != nullptr)
        next = ZOV_GetStringImage(label, next, limit);
    if (next == nullptr && (uuid.status != 0 || label.status != 0))
        ZOV_LOG_ALLOCATION_ERROR(fn);
    return next;
}

// A text that could not be held has no image (the string writes nothing),
// while size() counts an empty one: such a record writes nothing at all and
// gives null, rather than a short image that readers would misparse.
void* ZOV_REIR::putCommonImage(void* position) {
    if (position == nullptr || uuid.status != 0 || label.status != 0)
        return nullptr;
    void* next = putHeaderImage(position);
    next = uuid.put(next);
    return label.put(next);
}

void* ZOV_REIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_REIR::get";
    ZOV_ENTRY(fn);
    void* next = getCommonImage(position, limit);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_REIR::put(void* position) {
    static constexpr char fn[] = "ZOV_REIR::put";
    ZOV_ENTRY(fn);
    void* next = putCommonImage(position);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_REIR::printCommon() {
    static constexpr char fn[] = "ZOV_REIR::print";
    ZOV_Record::print();
    const char* uuidText = uuid.getcValue();
    ZOV_PRINT(fn, "UUID                : %s", uuidText != nullptr ? uuidText : "");
    const char* labelText = label.getcValue();
    ZOV_PRINT(fn, "Label               : %s", labelText != nullptr ? labelText : "");
}

void ZOV_REIR::print() {
    static constexpr char fn[] = "ZOV_REIR::print";
    ZOV_ENTRY(fn);
    printCommon();
    ZOV_EXIT(fn);
}

void ZOV_REIR::setUuid(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_REIR::setUuid";
    ZOV_ENTRY(fn);
    if (text != nullptr)
        uuid = *text;
    ZOV_EXIT(fn);
}

void ZOV_REIR::setLabel(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_REIR::setLabel";
    ZOV_ENTRY(fn);
    if (text != nullptr)
        label = *text;
    ZOV_EXIT(fn);
}

ZOV_Resource_ID ZOV_REIR::getResourceId() const {
    return ZOV_Resource_ID(&uuid, &label);
}

int ZOV_REIR::alike(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_REIR::alike";
    ZOV_ENTRY(fn);
    const int result = id != nullptr && uuid == id->uuid && label == id->label ? 1 : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}
