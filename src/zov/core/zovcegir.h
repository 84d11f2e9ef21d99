// ZOV_EGIR: execution group information record, a ZOV_REIR of type 3 with the
// group's process ID.
//
// Image (packed, host byte order), behind the common part of zovcreir.h:
//   +116 + 2u + 2l  4  process ID, int32; 0 = unknown
// A UUID of 36 and a label of 10 characters give 120 + 72 + 20 = 212 bytes.
#pragma once

#include <cstdint>

#include "zov/core/zovcreir.h"

class ZOV_EGIR : public ZOV_REIR {
  public:
    explicit ZOV_EGIR(const ZOV_Resource_ID* id);
    ZOV_EGIR& operator=(const ZOV_EGIR& other);

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    void setProcessId(int id) { processId = id; }
    int getProcessId() const { return processId; }

  private:
    int32_t processId = 0;
};
