#include "zov/core/zovcrcst.h"

#include <new>

static constexpr char _ZOV_UNIT_[] = "zovcrcst";

int ZOV_Record_Collection::insert(ZOV_Record* record) {
    if (record == nullptr)
        return ZOV_RC_NULL;
    try {
        records.push_back(record);
    } catch (const std::bad_alloc&) {
        return ZOV_RC_ALLOCATION;
    }
    return ZOV_RC_OK;
}

void ZOV_Record_Collection::clearAndDestroy() {
    for (ZOV_Record* record : records)
        delete record;
    records.clear();
}

void ZOV_Record_Collection::print() {
    const bool ordered = dynamic_cast<const ZOV_Ordered_Record_Set*>(this) != nullptr;
    const char* const fn = ordered ? "ZOV_Ordered_Record_Set::print" : "ZOV_Record_Set::print";
    ZOV_ENTRY(fn);
    const int count = static_cast<int>(records.size());
    for (int i = 0; i < count; ++i) {
        ZOV_PRINT(fn, "Record %d of %d", i + 1, count);
        records[i]->print();
    }
    ZOV_EXIT(fn);
}
