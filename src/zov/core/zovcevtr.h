// ZOV_EVTR: event template record (type 7), where an event comes from and what
// it means. One stored template serves every occurrence; the events area finds
// a stored template by content (operator==), not by record ID.
//
// Image (packed, host byte order); e, f, k, t are character counts:
//   +0                     104     record header (zovcrcrd.h)
//   +104                   6 + 2e  execution group label string image
//   +110 + 2e              6 + 2f  message flow label string image
//   +116 + 2e + 2f         6 + 2k  node label string image
//   +122 + 2e + 2f + 2k    4       node type, int32 (ZOV_NodeType)
//   +126 + 2e + 2f + 2k    6 + 2t  message text string image
// Size 132 + 2(e + f + k + t).
#pragma once

#include <cstdint>

#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcstrn.h"

class ZOV_EVTR : public ZOV_Record {
  public:
    static constexpr int kExecutionGroupOffset = ZOV_Record_Header::kSize;
    static constexpr int kNodeTypeSize = 4;
    // Image of a template whose four strings are empty.
    static constexpr int kEmptyImageSize =
        kExecutionGroupOffset + 4 * ZOV_String::kImageOverhead + kNodeTypeSize;

    // The record ID is generated only when `egLabel` is not null; each
    // non-null string is copied in, the others stay empty.
    ZOV_EVTR(const ZOV_String* egLabel, const ZOV_String* mfLabel, const ZOV_String* nodeLabel,
             ZOV_NodeType type, const ZOV_String* text);
    ZOV_EVTR& operator=(const ZOV_EVTR& other);
    // 1 when the three labels, the node type and the text are equal; the
    // record IDs take no part.
    int operator==(const ZOV_EVTR& other) const;

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    const ZOV_String& getExecutionGroupLabel() const { return egLabel; }
    const ZOV_String& getMessageFlowLabel() const { return mfLabel; }
    const ZOV_String& getNodeLabel() const { return nodeLabel; }
    // The stored type; a value outside 1-3 read from an image counts as 3.
    ZOV_NodeType getNodeType() const;
    int getNodeTypeValue() const { return nodeType; }
    const ZOV_String& getText() const { return text; }

  private:
    ZOV_String egLabel;
    ZOV_String mfLabel;
    ZOV_String nodeLabel;
    int32_t nodeType;
    ZOV_String text;
};
