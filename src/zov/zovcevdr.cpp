#include "zov/zovcevdr.h"

#include <cstring>

#include "zov/zovcimag.h"
#include "zov/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcevdr";

ZOV_EVDR::ZOV_EVDR(const BrkMqmd* md, int threadId)
    : ZOV_Record(ZOV_RT_EVENT_DATA, md != nullptr ? 1 : 0),
      eventTime(ZOV_SecondsSince1901()),
      threadId(threadId) {
    static constexpr char fn[] = "ZOV_EVDR::ZOV_EVDR";
    ZOV_ENTRY(fn);
    if (md != nullptr) {
        // Raw bytes at the descriptor's own offsets: the fields stay exactly
        // as the message carries them.
        const void* descriptor = md;
        const auto* bytes = static_cast<const unsigned char*>(descriptor);
        std::memcpy(messageId, bytes + kMdMsgIdOffset, kMessageIdSize);
        std::memcpy(correlId, bytes + kMdCorrelIdOffset, kCorrelIdSize);
        ZOV_LoadField(bytes, kMdPutApplTypeOffset, putApplType);
        std::memcpy(putApplName, bytes + kMdPutApplNameOffset, kPutApplNameSize);
        std::memcpy(putDate, bytes + kMdPutDateOffset, kPutDateSize);
        std::memcpy(putTime, bytes + kMdPutTimeOffset, kPutTimeSize);
    }
    ZOV_EXIT(fn);
}

ZOV_EVDR& ZOV_EVDR::operator=(const ZOV_EVDR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    eventTime = other.eventTime;
    threadId = other.threadId;
    std::memcpy(messageId, other.messageId, kMessageIdSize);
    std::memcpy(correlId, other.correlId, kCorrelIdSize);
    putApplType = other.putApplType;
    std::memcpy(putApplName, other.putApplName, kPutApplNameSize);
    std::memcpy(putDate, other.putDate, kPutDateSize);
    std::memcpy(putTime, other.putTime, kPutTimeSize);
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
        ZOV_LoadField(image, kEventTimeOffset, eventTime);
        ZOV_LoadField(image, kThreadIdOffset, threadId);
        std::memcpy(messageId, image + kMessageIdOffset, kMessageIdSize);
        std::memcpy(correlId, image + kCorrelIdOffset, kCorrelIdSize);
        ZOV_LoadField(image, kPutApplTypeOffset, putApplType);
        std::memcpy(putApplName, image + kPutApplNameOffset, kPutApplNameSize);
        std::memcpy(putDate, image + kPutDateOffset, kPutDateSize);
        std::memcpy(putTime, image + kPutTimeOffset, kPutTimeSize);
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
        ZOV_StoreField(image, kEventTimeOffset, eventTime);
        ZOV_StoreField(image, kThreadIdOffset, threadId);
        std::memcpy(image + kMessageIdOffset, messageId, kMessageIdSize);
        std::memcpy(image + kCorrelIdOffset, correlId, kCorrelIdSize);
        ZOV_StoreField(image, kPutApplTypeOffset, putApplType);
        std::memcpy(image + kPutApplNameOffset, putApplName, kPutApplNameSize);
        std::memcpy(image + kPutDateOffset, putDate, kPutDateSize);
        std::memcpy(image + kPutTimeOffset, putTime, kPutTimeSize);
        next = image + kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void ZOV_EVDR::print() {
    static constexpr char fn[] = "ZOV_EVDR::print";
    ZOV_ENTRY(fn);
    char timeText[kZOVTimeTextSize] = "n/a";
    if (eventTime != 0)
        ZOV_LocalTimeText(eventTime, timeText);
    ZOV_PRINT(fn, "Event Time          : %s", timeText);
    ZOV_PRINT(fn, "Appl Name           : %.28s", putApplName);
    ZOV_PRINT(fn, "Appl Name           : %i", putApplType);
    ZOV_PRINT(fn, "Message ID          : %.24s", reinterpret_cast<const char*>(messageId));
    ZOV_PRINT(fn, "Correl ID           : %.24s", reinterpret_cast<const char*>(correlId));
    ZOV_PRINT(fn, "Put date            : %.8s", putDate);
    ZOV_PRINT(fn, "Put time            : %.8s", putTime);
    ZOV_PRINT(fn, "Thread ID           : %i", threadId);
    ZOV_EXIT(fn);
}
