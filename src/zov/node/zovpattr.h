// Node attributes as the broker sets them: a name and a value per entry, kept
// in the order they arrived. The list never removes single entries, so a name
// set twice has two entries and find gives out the earlier one.
#pragma once

#include "zov/core/zovcstrn.h"

class ZOV_Attribute {
  public:
    // Either argument may be null (that string stays empty). `status` is 301
    // when one of the two strings could not be built.
    ZOV_Attribute(const ZOV_String* name, const ZOV_String* value);
    // Duplicates status, name and value; the copy belongs to no list.
    ZOV_Attribute(const ZOV_Attribute& other);
    ZOV_Attribute& operator=(const ZOV_Attribute& other);
    virtual ~ZOV_Attribute();

    // Both do nothing for a null argument or a string already in error.
    void setName(const ZOV_String* text);
    void setValue(const ZOV_String* text);
    // Releases both strings' buffers and marks the attribute failed.
    void cleanup();

    const ZOV_String& getName() const { return name; }
    const ZOV_String& getValue() const { return value; }

    int status = 0;

  private:
    friend class ZOV_Attributes_List;

    ZOV_String name;
    ZOV_String value;
    ZOV_Attribute* next = nullptr;  // link owned by the list holding this entry
};

// Singly linked list of owned attributes in insertion order. Appending never
// allocates: the link lives in the attribute, so the only allocation that can
// fail is the caller's own allocation of the attribute.
class ZOV_Attributes_List {
  public:
    ZOV_Attributes_List() = default;
    ~ZOV_Attributes_List();
    ZOV_Attributes_List(const ZOV_Attributes_List&) = delete;
    ZOV_Attributes_List& operator=(const ZOV_Attributes_List&) = delete;

    // Takes ownership of `attribute` (non-null, not in another list).
    void append(ZOV_Attribute* attribute);
    // The first attribute whose name equals `name`, or null.
    ZOV_Attribute* find(const ZOV_String* name) const;
    int entries() const { return count; }
    // Destroys every attribute; the list is empty afterwards.
    void cleanup();

  private:
    ZOV_Attribute* first = nullptr;
    ZOV_Attribute* last = nullptr;
    int count = 0;
};
