/*
 * Plug-in interface of the stand-in broker.
 *
 * A node library links against libimbdfplg.so and exports one entry,
 * bipGetMessageflowNodeFactory, which defines node classes through the calls
 * below. Every call takes the address of an int return code first. Names
 * cross the interface as zero-terminated strings of 16-bit characters.
 * Handles are opaque pointers owned by the broker.
 */
#ifndef BRK_API_H
#define BRK_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BRK_API __attribute__((visibility("default")))

/* Return codes set by the broker. */
enum {
    BRK_RC_OK = 0,
    BRK_RC_FAILURE = 8,
    BRK_RC_EXCEPTION = 64 /* cniPropagate: an exception was thrown downstream */
};

/* Log types of cciLog. */
enum { BRK_LOG_TRACE = 2 };

typedef unsigned short BrkChar16;

typedef struct BrkFactoryObject* BrkFactory;
typedef struct BrkNodeObject* BrkNode;
typedef struct BrkTerminalObject* BrkTerminal;
typedef struct BrkMessageObject* BrkMessage;
typedef struct BrkListObject* BrkDestinationList;
typedef struct BrkListObject* BrkExceptionList;
typedef void* BrkContext;

/* The six node functions a node class hands to cniDefineNodeClass, in slot order. */
typedef struct BrkNodeFunctions {
    BrkContext (*createContext)(BrkFactory factory, const BrkChar16* nodeName, BrkNode node);
    void (*deleteContext)(BrkContext context);
    int (*getAttributeName)(BrkContext context, int index, BrkChar16* buffer, int bufferLength);
    int (*setAttribute)(BrkContext context, const BrkChar16* name, const BrkChar16* value);
    int (*getAttribute)(BrkContext context, const BrkChar16* name, BrkChar16* buffer,
                        int bufferLength);
    void (*evaluate)(BrkContext context, BrkDestinationList destinations,
                     BrkExceptionList exceptions, BrkMessage message);
} BrkNodeFunctions;

/*
 * One name request of cniGetBrokerInfo. On a first call with empty buffers the
 * broker reports the name's length in characters (terminator excluded); on a
 * second call it copies as much of the name as fits, with a terminator when
 * there is room for one.
 */
typedef struct BrkNameRequest {
    BrkChar16* buffer;
    int bufferLength; /* characters */
    int reserved;
    int nameLength; /* characters, set by the broker */
} BrkNameRequest;

typedef struct BrkBrokerInfo {
    int reserved;
    BrkNameRequest broker;
    BrkNameRequest executionGroup;
    BrkNameRequest messageFlow;
    BrkNameRequest fourth; /* requested, not used by the node */
} BrkBrokerInfo;

/*
 * What cciGetLastExceptionData reports about the exception thrown downstream.
 * Natural alignment, 64-bit layout of this stand-in (592 bytes):
 *   +0    528  reserved
 *   +528  8    where      (pointer)
 *   +536  4    reserved2, then 4 bytes of padding
 *   +544  8    detail     (pointer)
 *   +552  8    text       (pointer)
 *   +560  32   reserved3
 * A 32-bit build has 4-byte pointers and no padding (560 bytes); `where` is at
 * +528 in both. The offsets are checked below.
 */
typedef struct BrkExceptionData {
    char reserved[528];
    const char* where; /* the place that threw */
    int reserved2;
    const char* detail; /* a word on what it was doing */
    const char* text;   /* the exception's own text */
    char reserved3[32];
} BrkExceptionData;

/*
 * Message descriptor (version 2, 364 bytes) at the start of every bit stream.
 * Packed, native byte order; the offsets are checked below.
 */
#pragma pack(push, 1)
typedef struct BrkMqmd {
    char strucId[4];
    int32_t version;
    int32_t report;
    int32_t msgType;
    int32_t expiry;
    int32_t feedback;
    int32_t encoding;
    int32_t codedCharSetId;
    char format[8];
    int32_t priority;
    int32_t persistence;
    unsigned char msgId[24];
    unsigned char correlId[24];
    int32_t backoutCount;
    char replyToQ[48];
    char replyToQMgr[48];
    char userIdentifier[12];
    unsigned char accountingToken[32];
    char applIdentityData[32];
    int32_t putApplType;
    char putApplName[28];
    char putDate[8]; /* YYYYMMDD, UTC */
    char putTime[8]; /* HHMMSSTH, UTC */
    char applOriginData[4];
    unsigned char groupId[24];
    int32_t msgSeqNumber;
    int32_t offset;
    int32_t msgFlags;
    int32_t originalLength;
} BrkMqmd;
#pragma pack(pop)

#define BRK_MQMD_SIZE 364

BRK_API BrkFactory cniCreateNodeFactory(int* returnCode, const BrkChar16* factoryName);
BRK_API void cniDefineNodeClass(int* returnCode, BrkFactory factory, const BrkChar16* className,
                                BrkNodeFunctions* functions);
BRK_API BrkTerminal cniCreateInputTerminal(int* returnCode, BrkNode node, const BrkChar16* name);
BRK_API BrkTerminal cniCreateOutputTerminal(int* returnCode, BrkNode node, const BrkChar16* name);
BRK_API void cniGetBrokerInfo(int* returnCode, BrkNode node, BrkBrokerInfo* info);
BRK_API int cniBufferSize(int* returnCode, BrkMessage message);
BRK_API const unsigned char* cniBufferPointer(int* returnCode, BrkMessage message);
BRK_API int cniPropagate(int* returnCode, BrkTerminal terminal, BrkDestinationList destinations,
                         BrkExceptionList exceptions, BrkMessage message);
BRK_API void cciGetLastExceptionData(int* returnCode, BrkExceptionData* data);
/* Does not return: the exception unwinds back into the broker. */
BRK_API void cciRethrowLastException(int* returnCode);
/*
 * Writes one log line. The inserts are 8-bit strings ended by a null pointer.
 * messageNumber 0 marks a trace line.
 */
BRK_API void cciLog(int* returnCode, int logType, const char* file, int line, const char* function,
                    const BrkChar16* messageSource, int messageNumber, const char* traceText, ...);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(BrkMqmd) == BRK_MQMD_SIZE);
static_assert(offsetof(BrkMqmd, msgId) == 48);
static_assert(offsetof(BrkMqmd, correlId) == 72);
static_assert(offsetof(BrkMqmd, putApplType) == 272);
static_assert(offsetof(BrkMqmd, putApplName) == 276);
static_assert(offsetof(BrkMqmd, putDate) == 304);
static_assert(offsetof(BrkMqmd, putTime) == 312);
/* The node reads the three texts by field; `where` keeps the offset the broker documents. */
static_assert(offsetof(BrkExceptionData, where) == 528);
#if defined(__LP64__)
static_assert(offsetof(BrkExceptionData, detail) == 544);
static_assert(offsetof(BrkExceptionData, text) == 552);
static_assert(sizeof(BrkExceptionData) == 592);
#endif
#endif

#endif /* BRK_API_H */
