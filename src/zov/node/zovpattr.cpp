#include "zov/node/zovpattr.h"

#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovpattr";

ZOV_Attribute::ZOV_Attribute(const ZOV_String* name, const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Attribute::ZOV_Attribute";
    ZOV_ENTRY(fn);
    setName(name);
    setValue(value);
    if (this->name.status == 0 && this->value.status == 0) {
        status = 0;
    } else {
        cleanup();
    }
    ZOV_EXIT(fn);
}

ZOV_Attribute::ZOV_Attribute(const ZOV_Attribute& other)
    : status(other.status), name(other.name), value(other.value) {
    if (name.status != 0 || value.status != 0)
        status = ZOV_STATUS_FAILED;
}

ZOV_Attribute& ZOV_Attribute::operator=(const ZOV_Attribute& other) {
    if (&other != this) {
        status = other.status;
        name = other.name;
        value = other.value;
        if (name.status != 0 || value.status != 0)
            status = ZOV_STATUS_FAILED;
    }
    return *this;
}

ZOV_Attribute::~ZOV_Attribute() {
    static constexpr char fn[] = "ZOV_Attribute::~ZOV_Attribute";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Attribute::setName(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_Attribute::setName";
    ZOV_ENTRY(fn);
    if (text != nullptr && name.status == 0) {
        name = *text;
        ZOV_TRACE(fn, "Name : %s", name.getcValue());
    }
    ZOV_EXIT(fn);
}

void ZOV_Attribute::setValue(const ZOV_String* text) {
    static constexpr char fn[] = "ZOV_Attribute::setValue";
    ZOV_ENTRY(fn);
    if (text != nullptr && value.status == 0) {
        value = *text;
        ZOV_TRACE(fn, "Value : %s", value.getcValue());
    }
    ZOV_EXIT(fn);
}

void ZOV_Attribute::cleanup() {
    static constexpr char fn[] = "ZOV_Attribute::cleanup";
    ZOV_ENTRY(fn);
    name.cleanup();
    value.cleanup();
    status = ZOV_STATUS_FAILED;
    ZOV_EXIT(fn);
}

ZOV_Attributes_List::~ZOV_Attributes_List() {
    static constexpr char fn[] = "ZOV_Attributes_List::~ZOV_Attributes_List";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Attributes_List::append(ZOV_Attribute* attribute) {
    if (attribute == nullptr)
        return;
    attribute->next = nullptr;
    if (last == nullptr) {
        first = attribute;
    } else {
        last->next = attribute;
    }
    last = attribute;
    ++count;
}

ZOV_Attribute* ZOV_Attributes_List::find(const ZOV_String* name) const {
    static constexpr char fn[] = "ZOV_Attributes_List::find";
    ZOV_ENTRY(fn);
    ZOV_Attribute* found = nullptr;
    if (name == nullptr) {
        ZOV_TRACE(fn, "Null attribute pointer");
    } else {
        for (ZOV_Attribute* entry = first; entry != nullptr; entry = entry->next) {
            if (entry->name == *name) {
                found = entry;
                break;
            }
        }
        if (found != nullptr)
            ZOV_TRACE(fn, "Attribute %s found", found->name.getcValue());
    }
    ZOV_EXIT_PTR(fn, found);
    return found;
}

void ZOV_Attributes_List::cleanup() {
    static constexpr char fn[] = "ZOV_Attributes_List::cleanup";
    ZOV_ENTRY(fn);
    ZOV_Attribute* entry = first;
    while (entry != nullptr) {
        ZOV_Attribute* following = entry->next;
        delete entry;
        entry = following;
    }
    first = nullptr;
    last = nullptr;
    count = 0;
    ZOV_EXIT(fn);
}
