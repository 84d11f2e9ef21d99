// ZOV_EVIR: event information record (type 9), one complete event for
// readers: a template and a data record joined. Exists only in process
// memory as a result of reading the events areas.
//
// Image (packed, host byte order):
//   +0                  104               own record header (zovcrcrd.h)
//   +104                template size     template image with its header (zovcevtr.h)
//   +104 + template     208               data record image with its header (zovcevdr.h)
#pragma once

#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcrcrd.h"

class ZOV_EVIR : public ZOV_Record {
  public:
    static constexpr int kTemplateOffset = ZOV_Record_Header::kSize;

    // The record ID is generated only when `templ` is not null; then init.
    ZOV_EVIR(const ZOV_EVTR* templ, const ZOV_EVDR* data);
    ZOV_EVIR& operator=(const ZOV_EVIR& other);
    // Copy-assigns each argument that is not null into its member.
    void init(const ZOV_EVTR* templ, const ZOV_EVDR* data);

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    ZOV_EVTR& getTemplate() { return templateRecord; }
    const ZOV_EVTR& getTemplate() const { return templateRecord; }
    ZOV_EVDR& getData() { return dataRecord; }
    const ZOV_EVDR& getData() const { return dataRecord; }

  private:
    ZOV_EVTR templateRecord;
    ZOV_EVDR dataRecord;
};
