#include "zov/core/zovcevdr.h"

#include <cstring>

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcevdr";

ZOV_EVDR::ZOV_EVDR(const void* md, int threadId)
    : ZOV_Record(ZOV_RT_EVENT_DATA, md != nullptr ? 1 : 0) {
    static constexpr char fn[] = "ZOV_EVDR::ZOV_EVDR";
    body.eventTime = ZOV_SecondsSince1901();
    body.threadId = threadId;
    ZOV_ENTRY(fn);
    if (md != nullptr) {
        // Raw bytes at the descriptor's own offsets: the fields stay exactly
        // as the message carries them.
        const auto* bytes = static_cast<const unsigned char*>(md);
        std::memcpy(body.messageId, bytes + kMdMsgIdOffset, kMessageIdSize);
        std::memcpy(body.correlId, bytes + kMdCorrelIdOffset, kCorrelIdSize);
        ZOV_LoadField(bytes, kMdPutApplTypeOffset, body.putApplType);
        std::memcpy(body.putApplName, bytes + kMdPutApplNameOffset, kPutApplNameSize);
        std::memcpy(body.putDate, bytes + kMdPutDateOffset, kPutDateSize);
        std::memcpy(body.putTime, bytes + kMdPutTimeOffset, kPutTimeSize);
    }
    ZOV_EXIT(fn);
}

// The two runs of copied fields lie back to back in the descriptor as in the
// image: message and correlation IDs, then the put application type, name,
// date and time.
static_assert(ZOV_EVDR::kMdCorrelIdOffset == ZOV_EVDR::kMdMsgIdOffset + ZOV_EVDR::kMessageIdSize &&
              ZOV_EVDR::kCorrelIdOffset == ZOV_EVDR::kMessageIdOffset + ZOV_EVDR::kMessageIdSize);
static_assert(ZOV_EVDR::kMdPutApplNameOffset == ZOV_EVDR::kMdPutApplTypeOffset + 4 &&
              ZOV_EVDR::kMdPutDateOffset ==
                  ZOV_EVDR::kMdPutApplNameOffset + ZOV_EVDR::kPutApplNameSize &&
              ZOV_EVDR::kMdPutTimeOffset == ZOV_EVDR::kMdPutDateOffset + ZOV_EVDR::kPutDateSize &&
              ZOV_EVDR::kPutTimeOffset + ZOV_EVDR::kPutTimeSize == ZOV_EVDR::kSize);

void ZOV_EVDR::putNew(void* position, const unsigned char* descriptor, int threadId,
                      const ZOV_Record_ID& parent, const struct timeval& now,
                      const unixtime& created, int32_t number) {
    constexpr int kIdsSize = kMessageIdSize + kCorrelIdSize;
    constexpr int kPutFieldsSize = kSize - kPutApplTypeOffset;
    auto* image = static_cast<unsigned char*>(position);
    putNewHeader(image, ZOV_RT_EVENT_DATA, created, number, parent);
    const auto eventTime =
        static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) + kZOVSeconds1901);
    ZOV_StoreField(image, kEventTimeOffset, eventTime);
    ZOV_StoreField(image, kThreadIdOffset, static_cast<int32_t>(threadId));
    std::memcpy(image + kMessageIdOffset, descriptor + kMdMsgIdOffset, kIdsSize);
    std::memcpy(image + kPutApplTypeOffset, descriptor + kMdPutApplTypeOffset, kPutFieldsSize);
}

ZOV_EVDR& ZOV_EVDR::operator=(const ZOV_EVDR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    body = other.body;
    return *this;
}

void* ZOV_EVDR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_EVDR::get";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    // Fixed size: checked whole, so a short image leaves the object untouched.
    if (position != nullptr && ZOV_ImageFits(position, limit, kSize)) {
        const auto* image = static_cast<const unsigned char*>(position);
        getHeaderImage(position, nullptr);
        std::memcpy(&body, image + kBodyOffset, sizeof body);
        next = static_cast<unsigned char*>(position) + kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_EVDR::put(void* position) {
    static constexpr char fn[] = "ZOV_EVDR::put";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    if (position != nullptr) {
        auto* image = static_cast<unsigned char*>(position);
        putHeaderImage(position);
        std::memcpy(image + kBodyOffset, &body, sizeof body);
        next = image + kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_EVDR::print() {
    static constexpr char fn[] = "ZOV_EVDR::print";
    ZOV_ENTRY(fn);
    char timeText[kZOVTimeTextSize] = "n/a";
    if (body.eventTime != 0)
        ZOV_LocalTimeText(body.eventTime, timeText);
    ZOV_PRINT(fn, "Event Time          : %s", timeText);
    ZOV_PRINT(fn, "Appl Name           : %.28s", body.putApplName);
    ZOV_PRINT(fn, "Appl Name           : %i", body.putApplType);
    ZOV_PRINT(fn, "Message ID          : %.24s", reinterpret_cast<const char*>(body.messageId));
    ZOV_PRINT(fn, "Correl ID           : %.24s", reinterpret_cast<const char*>(body.correlId));
    ZOV_PRINT(fn, "Put date            : %.8s", body.putDate);
    ZOV_PRINT(fn, "Put time            : %.8s", body.putTime);
    ZOV_PRINT(fn, "Thread ID           : %i", body.threadId);
    ZOV_EXIT(fn);
}
