// ZOV_NOIR: node information record, a ZOV_REIR of type 5 with the node type.
//
// Image (packed, host byte order), behind the common part of zovcreir.h:
//   +116 + 2u + 2l  4  node type, int32 (ZOV_NodeType: 1 input, 2 output,
//                      3 other); 3 until set
#pragma once

#include <cstdint>

#include "zov/core/zovcreir.h"

class ZOV_NOIR : public ZOV_REIR {
  public:
    explicit ZOV_NOIR(const ZOV_Resource_ID* id);
    ZOV_NOIR& operator=(const ZOV_NOIR& other);

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    void setNodeType(ZOV_NodeType type) { nodeType = type; }
    // The stored type; a value outside 1-3 read from an image counts as 3.
    ZOV_NodeType getNodeType() const;
    // The value as stored, whatever it is.
    int getNodeTypeValue() const { return nodeType; }

  private:
    int32_t nodeType = ZOV_NT_OTHER;
};
