// ZOV_REIR: resource information record, the shared-memory description of one
// monitored resource (its UUID and label); ZOV_MFIR is the message flow kind,
// a ZOV_REIR of type 4 with nothing added. The kinds with one more value are
// ZOV_BRIR (zovcbrir.h), ZOV_EGIR (zovcegir.h) and ZOV_NOIR (zovcnoir.h).
//
// Image (packed, host byte order); u and l are the character counts:
//   +0             104     record header (zovcrcrd.h)
//   +104           6 + 2u  UUID string image (zovcstrn.h)
//   +110 + 2u      6 + 2l  label string image
//   +116 + 2u + 2l 4       only the kinds with an added member: that member
// Size 116 + 2u + 2l, plus 4 for the kinds with an added member. Nothing
// records the length: a reader finds the end only through the two counts.
#pragma once

#include "zov/core/zovcimag.h"
#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcstrn.h"

class ZOV_REIR : public ZOV_Record {
  public:
    static constexpr int kUuidOffset = ZOV_Record_Header::kSize;
    // Image of a record whose UUID and label are both empty.
    static constexpr int kEmptyImageSize = kUuidOffset + 2 * ZOV_String::kImageOverhead;
    // Width of the member added by ZOV_BRIR, ZOV_EGIR and ZOV_NOIR.
    static constexpr int kAddedMemberSize = 4;

    // A record of `type`; its record ID is generated, and UUID and label are
    // taken from `id`, only when `id` is not null.
    ZOV_REIR(const ZOV_RecordType type, const ZOV_Resource_ID* id);
    ZOV_REIR& operator=(const ZOV_REIR& other);

    int size() const override;
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    // Copy the string in; a null pointer changes nothing.
    void setUuid(const ZOV_String* text);
    void setLabel(const ZOV_String* text);
    const ZOV_String& getUuid() const { return uuid; }
    const ZOV_String& getLabel() const { return label; }
    // Both texts were allocated: the record names its resource and can be
    // written (a record missing one writes nothing).
    bool isWhole() const { return uuid.status == 0 && label.status == 0; }
    ZOV_Resource_ID getResourceId() const;
    // 1 when `id` is not null and its UUID and label equal the record's.
    int alike(const ZOV_Resource_ID* id) const;

  protected:
    // The header and the two strings, without tracing, for the kinds that
    // append their member behind them.
    void* getCommonImage(void* position, const void* limit);
    void* putCommonImage(void* position);
    // The common part followed by the 4-byte member of the kinds that add one.
    template <typename T>
    void* getWithMember(void* position, const void* limit, T& member) {
        static_assert(sizeof member == kAddedMemberSize);
        void* next = getCommonImage(position, limit);
        if (next == nullptr || !ZOV_ImageFits(next, limit, kAddedMemberSize))
            return nullptr;
        ZOV_LoadField(next, 0, member);
        return static_cast<unsigned char*>(next) + kAddedMemberSize;
    }
    template <typename T>
    void* putWithMember(void* position, const T& member) {
        static_assert(sizeof member == kAddedMemberSize);
        void* next = putCommonImage(position);
        if (next == nullptr)
            return nullptr;
        ZOV_StoreField(next, 0, member);
        return static_cast<unsigned char*>(next) + kAddedMemberSize;
    }
    // The header dump and the UUID and label lines.
    void printCommon();

  private:
    ZOV_String uuid;
    ZOV_String label;
};

// Message flow information record: a ZOV_REIR of type 4.
class ZOV_MFIR : public ZOV_REIR {
  public:
    explicit ZOV_MFIR(const ZOV_Resource_ID* id) : ZOV_REIR(ZOV_RT_MESSAGE_FLOW, id) {}
    ZOV_MFIR& operator=(const ZOV_MFIR& other) = default;
};
