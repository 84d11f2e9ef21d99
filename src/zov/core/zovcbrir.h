// ZOV_BRIR: broker information record, a ZOV_REIR of type 2 with the time of
// the last statistics reset.
//
// Image (packed, host byte order), behind the common part of zovcreir.h:
//   +116 + 2u + 2l  4  reset time, uint32, seconds since 1901-01-01 00:00:00
//                      UTC; 0 = never reset
#pragma once

#include <cstdint>

#include "zov/core/zovcreir.h"

class ZOV_BRIR : public ZOV_REIR {
  public:
    explicit ZOV_BRIR(const ZOV_Resource_ID* id);
    ZOV_BRIR& operator=(const ZOV_BRIR& other);

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    void setResetTime(unsigned long seconds) { resetTime = static_cast<uint32_t>(seconds); }
    uint32_t getResetTime() const { return resetTime; }

  private:
    uint32_t resetTime = 0;
};
