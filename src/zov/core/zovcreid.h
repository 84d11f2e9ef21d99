// ZOV_Resource_ID: the identity of a broker, execution group, message flow or
// node, a label and a UUID. Two identities are alike only when both match: a
// UUID alone does not identify a resource.
#pragma once

#include "zov/core/zovcstrn.h"

class ZOV_Resource_ID {
  public:
    // Sets the UUID, then the label; a null pointer leaves that field empty.
    explicit ZOV_Resource_ID(const ZOV_String* uuid = nullptr, const ZOV_String* label = nullptr);

    // Copy the string in; a null pointer changes nothing.
    void setLabel(const ZOV_String* text);
    void setUuid(const ZOV_String* text);

    // 1 when `other` is non-null and both label and UUID are equal (exact
    // 16-bit equality, case matters), else 0.
    int alike(const ZOV_Resource_ID* other) const;

    const ZOV_String& getLabel() const { return label; }
    const ZOV_String& getUuid() const { return uuid; }

    ZOV_String label;
    ZOV_String uuid;
};
