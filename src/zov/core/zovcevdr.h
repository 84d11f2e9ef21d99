// ZOV_EVDR: event data record (type 8), one occurrence of an event: when, on
// which thread, and the identifying fields of the message's descriptor. Its
// parent record ID is the record ID of its template.
//
// Image (packed, host byte order), 208 bytes:
//   +0    104  record header (zovcrcrd.h)
//   +104  4    event time, uint32, seconds since 1901-01-01 00:00:00 UTC
//   +108  4    thread ID, int32
//   +112  24   message ID (descriptor MsgId, raw bytes)
//   +136  24   correlation ID (descriptor CorrelId, raw bytes)
//   +160  4    put application type, int32 (descriptor PutApplType)
//   +164  28   put application name (descriptor PutApplName, raw bytes)
//   +192  8    put date (descriptor PutDate, raw bytes)
//   +200  8    put time (descriptor PutTime, raw bytes)
// The byte fields are copied as the descriptor holds them: not terminated,
// not converted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zov/core/zovcrcrd.h"

class ZOV_EVDR : public ZOV_Record {
  public:
    static constexpr int kEventTimeOffset = 104;
    static constexpr int kThreadIdOffset = 108;
    static constexpr int kMessageIdOffset = 112;
    static constexpr int kCorrelIdOffset = 136;
    static constexpr int kPutApplTypeOffset = 160;
    static constexpr int kPutApplNameOffset = 164;
    static constexpr int kPutDateOffset = 192;
    static constexpr int kPutTimeOffset = 200;
    static constexpr int kSize = 208;

    static constexpr int kMessageIdSize = 24;
    static constexpr int kCorrelIdSize = 24;
    static constexpr int kPutApplNameSize = 28;
    static constexpr int kPutDateSize = 8;
    static constexpr int kPutTimeSize = 8;

    // Where the copied fields lie in the 364-byte message descriptor.
    static constexpr int kMdMsgIdOffset = 48;
    static constexpr int kMdCorrelIdOffset = 72;
    static constexpr int kMdPutApplTypeOffset = 272;
    static constexpr int kMdPutApplNameOffset = 276;
    static constexpr int kMdPutDateOffset = 304;
    static constexpr int kMdPutTimeOffset = 312;
    static constexpr int kMdSize = 364;

    // Event time now; the record ID is generated and the descriptor fields
    // copied from `md`, the descriptor's kMdSize bytes, only when it is not
    // null (else they stay zero).
    ZOV_EVDR(const void* md, int threadId);
    ZOV_EVDR& operator=(const ZOV_EVDR& other);

    // Writes at `position` the image of a new event as the constructor (from
    // the descriptor's `kMdSize` bytes), setParent(parent) and put would
    // write it, in image order: record ID stamped `created` and numbered
    // `number`, event time the whole seconds of `now`.
    static void putNew(void* position, const unsigned char* descriptor, int threadId,
                       const ZOV_Record_ID& parent, const struct timeval& now,
                       const unixtime& created, int32_t number);

    int size() const override { return kSize; }
    void* getBounded(void* position, const void* limit) override;
    void* put(void* position) override;
    void print() override;

    uint32_t getEventTime() const { return body.eventTime; }
    int getThreadId() const { return body.threadId; }
    const unsigned char* getMessageId() const { return body.messageId; }
    const unsigned char* getCorrelId() const { return body.correlId; }
    int getPutApplType() const { return body.putApplType; }
    const char* getPutApplName() const { return body.putApplName; }
    const char* getPutDate() const { return body.putDate; }
    const char* getPutTime() const { return body.putTime; }

  private:
    // The fields as they lie in the image from +104, so that the body is
    // stored and loaded in one piece.
    struct Body {
        uint32_t eventTime = 0;
        int32_t threadId = 0;
        unsigned char messageId[kMessageIdSize] = {};
        unsigned char correlId[kCorrelIdSize] = {};
        int32_t putApplType = 0;
        char putApplName[kPutApplNameSize] = {};
        char putDate[kPutDateSize] = {};
        char putTime[kPutTimeSize] = {};
    };
    static constexpr int kBodyOffset = kEventTimeOffset;
    static_assert(sizeof(Body) == kSize - kBodyOffset &&
                  offsetof(Body, threadId) == kThreadIdOffset - kBodyOffset &&
                  offsetof(Body, messageId) == kMessageIdOffset - kBodyOffset &&
                  offsetof(Body, correlId) == kCorrelIdOffset - kBodyOffset &&
                  offsetof(Body, putApplType) == kPutApplTypeOffset - kBodyOffset &&
                  offsetof(Body, putApplName) == kPutApplNameOffset - kBodyOffset &&
                  offsetof(Body, putDate) == kPutDateOffset - kBodyOffset &&
                  offsetof(Body, putTime) == kPutTimeOffset - kBodyOffset);
    Body body;
};
