#include "zov/core/zovcevir.h"

#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcevir";

ZOV_EVIR::ZOV_EVIR(const ZOV_EVTR* templ, const ZOV_EVDR* data)
    : ZOV_Record(ZOV_RT_EVENT_INFORMATION, templ != nullptr ? 1 : 0),
      templateRecord(nullptr, nullptr, nullptr, ZOV_NT_OTHER, nullptr),
      dataRecord(nullptr, 0) {
    static constexpr char fn[] = "ZOV_EVIR::ZOV_EVIR";
    ZOV_ENTRY(fn);
    init(templ, data);
    ZOV_EXIT(fn);
}

ZOV_EVIR& ZOV_EVIR::operator=(const ZOV_EVIR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    templateRecord = other.templateRecord;
    dataRecord = other.dataRecord;
    return *this;
}

void ZOV_EVIR::init(const ZOV_EVTR* templ, const ZOV_EVDR* data) {
    static constexpr char fn[] = "ZOV_EVIR::init";
    ZOV_ENTRY(fn);
    if (templ != nullptr)
        templateRecord = *templ;
    if (data != nullptr)
        dataRecord = *data;
    ZOV_EXIT(fn);
}

int ZOV_EVIR::size() const {
    return ZOV_Record_Header::kSize + templateRecord.size() + dataRecord.size();
}

void* ZOV_EVIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_EVIR::get";
    ZOV_ENTRY(fn);
    void* next = position != nullptr ? getHeaderImage(position, limit) : nullptr;
    if (next != nullptr)
        next = templateRecord.getBounded(next, limit);
    if (next != nullptr)
        next = dataRecord.getBounded(next, limit);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_EVIR::put(void* position) {
    static constexpr char fn[] = "ZOV_EVIR::put";
    ZOV_ENTRY(fn);
    void* next = position != nullptr ? putHeaderImage(position) : nullptr;
    if (next != nullptr)
        next = templateRecord.put(next);
    if (next != nullptr)
        next = dataRecord.put(next);
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_EVIR::print() {
    static constexpr char fn[] = "ZOV_EVIR::print";
    ZOV_ENTRY(fn);
    ZOV_Record::print();
    templateRecord.print();
    dataRecord.print();
    ZOV_EXIT(fn);
}
