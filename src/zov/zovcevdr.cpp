#include "zov/zovcevdr.h"

#include <cstring>

#include "zov/zovcimag.h"
#include "zov/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcevdr";

ZOV_EVDR::ZOV_EVDR(const BrkMqmd* md, int threadId)
    : ZOV_Record(ZOV_RT_EVENT_DATA, md != nullptr ? 1 : 0) {
    static constexpr char fn[] = "ZOV_EVDR::ZOV_EVDR";
    body.eventTime = ZOV_SecondsSince1901();
    body.threadId = threadId;
    ZOV_ENTRY(fn);
    if (md != nullptr) {
        // Raw bytes at the descriptor's own offsets: the fields stay exactly
        // as the message carries them.
        const void* descriptor = md;
        const auto* bytes = static_cast<const unsigned char*>(descriptor);
        std::memcpy(body.messageId, bytes + kMdMsgIdOffset, kMessageIdSize);
        std::memcpy(body.correlId, bytes + kMdCorrelIdOffset, kCorrelIdSize);
        ZOV_LoadField(bytes, kMdPutApplTypeOffset, body.putApplType);
        std::memcpy(body.putApplName, bytes + kMdPutApplNameOffset, kPutApplNameSize);
        std::memcpy(body.putDate, bytes + kMdPutDateOffset, kPutDateSize);
        std::memcpy(body.putTime, bytes + kMdPutTimeOffset, kPutTimeSize);
    }
    ZOV_EXIT(fn);
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
