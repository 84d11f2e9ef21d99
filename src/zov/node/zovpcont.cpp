#include "zov/node/zovpcont.h"

#include <sys/time.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "zov/core/zovcevdr.h"
#include "zov/core/zovctool.h"
#include "zov/node/zovpmono.h"
#include "zov/node/zovpnode.h"

static constexpr char _ZOV_UNIT_[] = "zovpcont";

namespace {

// The descriptor at the start of every bit stream (BrkMqmd, 364 bytes). Only
// its put date and time are read here:
//   +304  8  PutDate  YYYYMMDD, UTC
//   +312  8  PutTime  HHMMSSTH, UTC (T, H: tenths and hundredths)
constexpr int kDescriptorSize = BRK_MQMD_SIZE;
constexpr int kPutFieldLength = 8;
constexpr int kPutDateOffset = 304;
constexpr int kPutTimeOffset = 312;
static_assert(offsetof(BrkMqmd, putDate) == kPutDateOffset &&
              offsetof(BrkMqmd, putTime) == kPutTimeOffset);
static_assert(sizeof(BrkMqmd) == kDescriptorSize && kDescriptorSize == ZOV_EVDR::kMdSize);
static_assert(sizeof(BrkMqmd::putDate) == kPutFieldLength &&
              sizeof(BrkMqmd::putTime) == kPutFieldLength);

// Terminal names as the broker takes them; constant, so that creating a
// terminal never depends on an allocation.
constexpr BrkChar16 kInputTerminalName[] = {'i', 'n', 0};
constexpr BrkChar16 kOutputTerminalName[] = {'o', 'u', 't', 0};

// Processor time of the whole process, all threads, in seconds.
static_assert(CLOCKS_PER_SEC == 1000000);
double processorSeconds() {
    return static_cast<double>(std::clock()) / 1000000.0;
}

// Copies the descriptor from the start of a bit stream of `size` bytes (all
// zero without a stream: the event of such a message carries it blank). A
// shorter stream leaves the rest zero, and a put date or time that the end of
// the stream cuts is zeroed whole: a cut field could still parse (seven
// characters of a time read as four fields), so it reads as empty and the
// queued time as 0. Nothing beyond the stream is read.
void copyDescriptor(const unsigned char* stream, int size, BrkMqmd& descriptor) {
    const int length =
        stream == nullptr || size <= 0 ? 0 : (size < kDescriptorSize ? size : kDescriptorSize);
    auto* bytes = reinterpret_cast<unsigned char*>(&descriptor);
    if (length > 0)
        std::memcpy(bytes, stream, static_cast<size_t>(length));
    std::memset(bytes + length, 0, static_cast<size_t>(kDescriptorSize - length));
    if (length < kPutDateOffset + kPutFieldLength) {
        std::memset(descriptor.putDate, 0, kPutFieldLength);
    }
    if (length < kPutTimeOffset + kPutFieldLength) {
        std::memset(descriptor.putTime, 0, kPutFieldLength);
    }
}

// At most 8 characters of a put field, stopping at a 0, made a C string.
void copyPutField(const char* field, char (&buffer)[kPutFieldLength + 1]) {
    std::memset(buffer, 0, sizeof buffer);
    for (int i = 0; i < kPutFieldLength && field[i] != 0; ++i)
        buffer[i] = field[i];
}

// Reads one "%<width>d" field the way sscanf does, without its cost (two
// sscanf calls were half the instructions of a message): white space is
// skipped outside the width, an optional sign counts in it, then decimal
// digits up to the width. False when no digit was read. The field stops at
// the first character that is no digit, which the next field then meets.
bool scanDecimal(const char*& p, int width, int& value) {
    // A digit is never white space: the usual field asks no locale table.
    while ((*p < '0' || *p > '9') && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        --width;
    }
    int digits = 0;
    int number = 0;
    for (; width > 0 && *p >= '0' && *p <= '9'; ++p, --width, ++digits)
        number = number * 10 + (*p - '0');
    if (digits == 0)
        return false;
    value = negative ? -number : number;
    return true;
}

// True when a put field is eight digits, as every descriptor a queue
// manager writes has it: each field then reads exactly its width of digits.
bool eightDigits(const char* text) {
    for (int i = 0; i < kPutFieldLength; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

int digitsAt(const char* text, int offset, int count) {
    int number = 0;
    for (int i = offset; i < offset + count; ++i)
        number = number * 10 + (text[i] - '0');
    return number;
}

// "%4d%2d%2d" of a put date: year, month, day.
bool scanPutDate(const char* text, int& year, int& month, int& day) {
    if (eightDigits(text)) {
        year = digitsAt(text, 0, 4);
        month = digitsAt(text, 4, 2);
        day = digitsAt(text, 6, 2);
        return true;
    }
    return scanDecimal(text, 4, year) && scanDecimal(text, 2, month) && scanDecimal(text, 2, day);
}

// "%2d%2d%2d%2d" of a put time: hours, minutes, seconds, hundredths.
bool scanPutTime(const char* text, int& hours, int& minutes, int& seconds, int& hundredths) {
    if (eightDigits(text)) {
        hours = digitsAt(text, 0, 2);
        minutes = digitsAt(text, 2, 2);
        seconds = digitsAt(text, 4, 2);
        hundredths = digitsAt(text, 6, 2);
        return true;
    }
    return scanDecimal(text, 2, hours) && scanDecimal(text, 2, minutes) &&
           scanDecimal(text, 2, seconds) && scanDecimal(text, 2, hundredths);
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
long long daysSinceEpoch(int year, int month, int day) {
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<long long>(era) * 146097 + dayOfEra - 719468;
}

// The eight characters of a put field as one 64-bit word, the first
// character in the lowest byte (little-endian host, as the image layouts).
uint64_t fieldWord(const char* field) {
    uint64_t word = 0;
    std::memcpy(&word, field, sizeof word);
    return word;
}

constexpr uint64_t kEveryByte = 0x0101010101010101;

// Every byte of the word is a digit '0'-'9': its high nibble is 3, and adding
// 6 to a low nibble of at most 9 does not carry into it.
bool allDigits(uint64_t word) {
    constexpr uint64_t kHigh = 0xF0 * kEveryByte;
    constexpr uint64_t kThree = 0x30 * kEveryByte;
    return (word & kHigh) == kThree && ((word + 6 * kEveryByte) & kHigh) == kThree;
}

// The digits of a word that allDigits accepts taken two by two: the value of
// characters 0-1 in byte 0, 2-3 in byte 2, 4-5 in byte 4, 6-7 in byte 6.
uint64_t digitPairs(uint64_t word) {
    return (word & (0x0F * kEveryByte)) * (10 * 256 + 1) >> 8;
}

int pairAt(uint64_t pairs, int index) {
    return static_cast<int>(pairs >> (16 * index) & 0xFF);
}

// The eight digits of such a word as one decimal number: from the pairs,
// fours, then the whole, each step one multiply.
uint32_t decimalOf(uint64_t word) {
    word = digitPairs(word);
    word = (word & 0x00FF00FF00FF00FF) * (100 * 65536 + 1) >> 16;
    word = (word & 0x0000FFFF0000FFFF) * (10000 * (uint64_t{1} << 32) + 1) >> 32;
    return static_cast<uint32_t>(word);
}

}  // namespace

ZOV_Time_Of_Day ZOV_SystemTimeOfDay() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return {static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_usec)};
}

bool ZOV_UtcSeconds(int year, int month, int day, int hours, int minutes, int seconds,
                    long long& result) {
    if (year < 1901 || month < 1 || month > 12)
        return false;
    if (day < 1 || day > daysInMonth(year, month))
        return false;
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59) {
        return false;
    }
    result = daysSinceEpoch(year, month, day) * 86400 + hours * 3600 + minutes * 60 + seconds;
    return true;
}

// ---------------------------------------------------------------------------
// Construction and names.

ZOV_Node_Context::ZOV_Node_Context(BrkNode node)
    : nodeObject(node),
      labelName("label"),
      typeName("type"),
      eventMessageName("eventMessage"),
      collectQueueTimeName("collectQueueTime") {
    static constexpr char fn[] = "ZOV_Node_Context::ZOV_Node_Context";
    ZOV_ENTRY(fn);
    status = 0;
    monitoringNode = nullptr;

    int rc = 0;
    inputTerminal = cniCreateInputTerminal(&rc, nodeObject, kInputTerminalName);
    if (inputTerminal == nullptr) {
        ZOV_String detail = ZOV_Format_Message("Error %i.", rc);
        ZOV_LOG_CALL_FAILED("cniCreateInputTerminal", fn, detail.getcValue());
        status = ZOV_STATUS_FAILED;
    }
    if (status == 0) {
        rc = 0;
        outputTerminal = cniCreateOutputTerminal(&rc, nodeObject, kOutputTerminalName);
        if (outputTerminal == nullptr) {
            ZOV_String detail = ZOV_Format_Message("Error %i.", rc);
            ZOV_LOG_CALL_FAILED("cniCreateOutputTerminal", fn, detail.getcValue());
            status = ZOV_STATUS_FAILED;
        }
    }
    // Without the attribute names the node would never learn its label or
    // type: it stays a pass-through (its terminals exist).
    if (status == 0 && (labelName.status != 0 || typeName.status != 0 ||
                        eventMessageName.status != 0 || collectQueueTimeName.status != 0)) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
        status = ZOV_STATUS_FAILED;
    }
    if (status == 0)
        getResourceNames();
    if (status == 0) {
        monitoringNode = new (std::nothrow)
            ZOV_Monitoring_Node(&brokerId, &executionGroupId, &messageFlowId, &nodeId);
        if (monitoringNode == nullptr) {
            status = ZOV_STATUS_FAILED;
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (monitoringNode->status != 0) {
            delete monitoringNode;
            monitoringNode = nullptr;
            status = ZOV_STATUS_FAILED;
        }
    }
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Node_Context::~ZOV_Node_Context() {
    static constexpr char fn[] = "ZOV_Node_Context::~ZOV_Node_Context";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Node_Context::cleanup() {
    static constexpr char fn[] = "ZOV_Node_Context::cleanup";
    ZOV_ENTRY(fn);
    delete monitoringNode;
    monitoringNode = nullptr;
    attributes.cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Node_Context::getResourceNames() {
    static constexpr char fn[] = "ZOV_Node_Context::getResourceNames";
    ZOV_ENTRY(fn);
    BrkBrokerInfo info;
    std::memset(&info, 0, sizeof info);
    int rc = 0;
    cniGetBrokerInfo(&rc, nodeObject, &info);

    // Each buffer gets one unit more than the broker reported and the broker
    // is told the reported length, so the last unit stays 0 whether or not
    // the reported length counted a terminator: reading a name never runs
    // past its buffer.
    BrkNameRequest* const requests[] = {&info.broker, &info.executionGroup, &info.messageFlow,
                                        &info.fourth};
    std::unique_ptr<BrkChar16[]> buffers[4];
    for (int i = 0; i < 4 && status == 0; ++i) {
        const int length = requests[i]->nameLength > 0 ? requests[i]->nameLength : 0;
        buffers[i].reset(new (std::nothrow) BrkChar16[static_cast<size_t>(length) + 1]());
        if (buffers[i] == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
            break;
        }
        requests[i]->buffer = buffers[i].get();
        requests[i]->bufferLength = length;
    }
    if (status == 0) {
        rc = 0;
        cniGetBrokerInfo(&rc, nodeObject, &info);
        ZOV_String brokerName(buffers[0].get());
        ZOV_String executionGroupName(buffers[1].get());
        ZOV_String messageFlowName(buffers[2].get());

        // Built as ZOV_String: a path that cannot be allocated reads as no
        // registry entry instead of throwing.
        ZOV_String primary = ZOV_String(kZOVRegistryPrimary) + brokerName;
        const char* primaryPath = primary.getcValue();
        ZOV_String uuid = ZOV_GetRegistryValue(primaryPath, "BrokerUUID");
        bool pathsHeld = primaryPath != nullptr;
        if (uuid.isEmpty()) {
            ZOV_String secondary = ZOV_String(kZOVRegistrySecondary) + brokerName;
            const char* secondaryPath = secondary.getcValue();
            uuid = ZOV_GetRegistryValue(secondaryPath, "BrokerUUID");
            pathsHeld = pathsHeld && secondaryPath != nullptr;
        }
        if (!pathsHeld)
            status = ZOV_STATUS_FAILED;  // the UUID was not looked up
        brokerId.setUuid(&uuid);
        brokerId.setLabel(&brokerName);
        executionGroupId.setLabel(&executionGroupName);
        messageFlowId.setLabel(&messageFlowName);
        // A name that could not be held would make the node monitor another
        // broker, group or flow than its own.
        for (const ZOV_String* text :
             {&brokerName, &executionGroupName, &messageFlowName, &uuid, &brokerId.uuid,
              &brokerId.label, &executionGroupId.label, &messageFlowId.label}) {
            if (text->status != 0)
                status = ZOV_STATUS_FAILED;
        }
        if (status != 0)
            ZOV_LOG_ALLOCATION_ERROR(fn);
        ZOV_TRACE(fn, "Broker Label = %s", brokerName.getcValue());
        ZOV_TRACE(fn, "Broker Uuid = %s", uuid.getcValue());
        ZOV_TRACE(fn, "Execution Group Label = %s", executionGroupName.getcValue());
        ZOV_TRACE(fn, "Message Flow Label = %s", messageFlowName.getcValue());
    }
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// Messages.

void ZOV_Node_Context::processMessage(BrkDestinationList destinations, BrkExceptionList exceptions,
                                      BrkMessage message) {
    static constexpr char fn[] = "ZOV_Node_Context::propagateMessage";
    ZOV_ENTRY(fn);
    int size = 0;
    double queuedTime = 0.0;
    const unsigned char* stream = nullptr;
    double started = 0.0;

    if (monitoringNode != nullptr) {
        started = processorSeconds();
        if (message != nullptr) {
            int rc = 0;
            size = cniBufferSize(&rc, message);
            rc = 0;
            stream = cniBufferPointer(&rc, message);
            if (stream != nullptr)
                queuedTime = getQueuedTime(stream, size);
        }
        // The descriptor is copied only for an event: a plain message reads
        // its put date and time where they lie, and untraced, an event of a
        // stream that holds the whole descriptor is made from it in place.
        if (!bZOVTracing && monitoringNode->getEventTemplate() != nullptr && stream != nullptr &&
            size >= kDescriptorSize) {
            monitoringNode->postMessageEvent(stream);
        } else if (bZOVTracing || monitoringNode->getEventTemplate() != nullptr) {
            BrkMqmd descriptor;
            copyDescriptor(stream, size, descriptor);
            monitoringNode->postEvent(&descriptor, nullptr);
        }
    }

    int rc = 0;
    // A context whose output terminal was never made has nowhere to send the
    // message: it ends here.
    if (outputTerminal != nullptr)
        cniPropagate(&rc, outputTerminal, destinations, exceptions, message);
    ZOV_TRACE(fn, "cniPropagate rc=%i", rc);

    if (monitoringNode != nullptr) {
        const double elapsed = processorSeconds() - started;
        monitoringNode->updateStatistics(queuedTime, elapsed, size);
        if (rc == BRK_RC_EXCEPTION) {
            BrkMqmd descriptor;
            copyDescriptor(stream, size, descriptor);
            monitoringNode->postException(&descriptor);
        }
    }
    // The exception goes back to the broker, measured or not: a pass-through
    // context must not swallow a failure downstream. This does not return.
    if (rc == BRK_RC_EXCEPTION)
        ZOV_PassBackLastException();
    ZOV_EXIT(fn);
}

// The put fields as copyDescriptor would leave them: a field that the end of
// the stream cuts reads as empty, and so does the time when the date is cut.
// Both fields lie inside the stream here, so each is read as one word.
double ZOV_Node_Context::getQueuedTime(const unsigned char* stream, int size,
                                       ZOV_Clock clock) const {
    static constexpr char kEmpty[kPutFieldLength] = {};
    if (stream == nullptr || size < kPutTimeOffset + kPutFieldLength)
        return getQueuedTime(kEmpty, kEmpty, clock);
    const auto* date = reinterpret_cast<const char*>(stream) + kPutDateOffset;
    const auto* time = reinterpret_cast<const char*>(stream) + kPutTimeOffset;
    const uint64_t dateWord = fieldWord(date);
    const uint64_t timeWord = fieldWord(time);
    if (!bZOVTracing && allDigits(dateWord) && allDigits(timeWord))
        return digitsQueuedTime(decimalOf(dateWord), digitPairs(timeWord), clock);
    return getQueuedTime(date, time, clock);
}

// A put date that parses but is no calendar date (month 13, day 32, hour 24
// and the like) or lies before 1901 gives a queued time of 0.0, as an
// unreadable one does: the message is counted but its queued time is not
// guessed.
double ZOV_Node_Context::getQueuedTime(const char* putDate, const char* putTime,
                                       ZOV_Clock clock) const {
    static constexpr char fn[] = "ZOV_Node_Context::getQueuedTime";
    // Checked character by character: the texts may end before eight.
    if (!bZOVTracing && putDate != nullptr && putTime != nullptr && eightDigits(putDate) &&
        eightDigits(putTime)) {
        return digitsQueuedTime(decimalOf(fieldWord(putDate)), digitPairs(fieldWord(putTime)),
                                clock);
    }
    ZOV_ENTRY(fn);
    double result = 0.0;
    if (putDate != nullptr && putTime != nullptr && putDate[0] != 0 && putTime[0] != 0) {
        char date[kPutFieldLength + 1];
        char time[kPutFieldLength + 1];
        copyPutField(putDate, date);
        copyPutField(putTime, time);
        ZOV_TRACE(fn, "Date <%s> Time <%s>", date, time);
        int year = 0, month = 0, day = 0;
        int hours = 0, minutes = 0, seconds = 0, hundredths = 0;
        long long put = 0;
        if (scanPutDate(date, year, month, day) &&
            scanPutTime(time, hours, minutes, seconds, hundredths) && hundredths >= 0 &&
            hundredths <= 99 && ZOV_UtcSeconds(year, month, day, hours, minutes, seconds, put)) {
            // One reading gives both the seconds and the milliseconds, so the
            // two cannot straddle a second boundary.
            const ZOV_Time_Of_Day now = clock();
            const long milliseconds = now.microseconds / 1000;
            result = static_cast<double>(now.seconds - put) +
                     static_cast<double>(milliseconds - 10L * hundredths) / 1000.0;
        }
    }
    ZOV_TRACE(fn, "Exit: %f", result);
    return result;
}

// The usual descriptor: both fields eight digits, the date read as the
// number YYYYMMDD and the time as its four pairs (digitPairs). The day number of the last put date
// is kept, with the date, in one word that threads read and replace whole; messages put on the same
// day skip the calendar arithmetic. The result is the one the field reader above gives for the same
// texts.
double ZOV_Node_Context::digitsQueuedTime(uint32_t date, uint64_t timePairs,
                                          ZOV_Clock clock) const {
    const uint64_t cached = putDay.load(std::memory_order_relaxed);
    long long day = 0;
    if (cached >> 32 == date) {
        day = static_cast<int32_t>(static_cast<uint32_t>(cached));
    } else {
        long long midnight = 0;
        if (!ZOV_UtcSeconds(static_cast<int>(date / 10000), static_cast<int>(date / 100 % 100),
                            static_cast<int>(date % 100), 0, 0, 0, midnight)) {
            return 0.0;
        }
        day = midnight / 86400;
        putDay.store(uint64_t{date} << 32 | static_cast<uint32_t>(day), std::memory_order_relaxed);
    }
    const int hours = pairAt(timePairs, 0);
    const int minutes = pairAt(timePairs, 1);
    const int seconds = pairAt(timePairs, 2);
    const int hundredths = pairAt(timePairs, 3);
    if (hours > 23 || minutes > 59 || seconds > 59)
        return 0.0;
    const long long put = day * 86400 + hours * 3600 + minutes * 60 + seconds;
    const ZOV_Time_Of_Day now = clock();
    const long milliseconds = now.microseconds / 1000;
    return static_cast<double>(now.seconds - put) +
           static_cast<double>(milliseconds - 10L * hundredths) / 1000.0;
}

// ---------------------------------------------------------------------------
// Attributes.

namespace {

// Names given out by index, and the values given out for a name never set.
constexpr const char* kIndexedNames[] = {"type", "eventMessage", "collectQueueTime"};
constexpr const char* kTypeDefault = "other";
constexpr const char* kEventMessageDefault = "";
constexpr const char* kCollectQueueTimeDefault = "yes";

unsigned int unitsOf(int bufferLength) {
    return bufferLength > 0 ? static_cast<unsigned int>(bufferLength) : 0u;
}

}  // namespace

ZOV_Monitoring_Node* ZOV_Node_Context::usableMonitoringNode() const {
    return monitoringNode != nullptr && monitoringNode->status == 0 ? monitoringNode : nullptr;
}

void ZOV_Node_Context::insertAttribute(const ZOV_String* name, const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Node_Context::insertAttribute";
    ZOV_ENTRY(fn);
    auto* attribute = new (std::nothrow) ZOV_Attribute(name, value);
    if (attribute == nullptr) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
    } else if (attribute->status == 0) {
        attributes.append(attribute);
    } else {
        delete attribute;
    }
    ZOV_EXIT(fn);
}

int ZOV_Node_Context::setAttributeValue(const BrkChar16* name, const BrkChar16* value) {
    static constexpr char fn[] = "ZOV_Node_Context::setAttributeValue";
    ZOV_ENTRY(fn);
    ZOV_String attributeName(name);
    ZOV_String attributeValue(value);
    ZOV_TRACE(fn, "Attribute Name = <%s>  Attribute Value = <%s>", attributeName.getcValue(),
              attributeValue.getcValue());
    // A name or value that could not be held is lost to the node; say so.
    if (attributeName.status != 0 || attributeValue.status != 0)
        ZOV_LOG_ALLOCATION_ERROR(fn);
    // Every call keeps an entry, whatever the name: the first value of a
    // name is the one given out, while the monitoring node gets the latest.
    insertAttribute(&attributeName, &attributeValue);
    int result = 1;
    if (attributeName == labelName) {
        setNodeLabel(&attributeValue);
    } else if (attributeName == typeName) {
        setNodeType(&attributeValue);
        result = 0;
    } else if (attributeName == eventMessageName) {
        setEventMessage(&attributeValue);
        result = 0;
    } else if (attributeName == collectQueueTimeName) {
        setQueueTimeCollection(&attributeValue);
        result = 0;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_Node_Context::getAttributeName(int index, BrkChar16* buffer, int bufferLength) {
    static constexpr char fn[] = "ZOV_Node_Context::getAttributeName";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Index = <%i> Buffer size = <%i>", index, bufferLength);
    // The broker enumerating the attributes is one of the three events that
    // complete a node's set-up.
    if (ZOV_Monitoring_Node* node = usableMonitoringNode(); node && !node->isInitialized()) {
        node->initializeNode();
    }
    int result = 1;
    if (buffer != nullptr && index >= 0 && index < 3) {
        ZOV_String name(kIndexedNames[index]);
        name.copyTo(buffer, unitsOf(bufferLength));
        ZOV_TRACE(fn, "Attribute Name = <%s>", name.getcValue());
        result = 0;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_Node_Context::getAttributeValue(const BrkChar16* name, BrkChar16* buffer,
                                        int bufferLength) {
    static constexpr char fn[] = "ZOV_Node_Context::getAttributeValue";
    ZOV_ENTRY(fn);
    ZOV_String attributeName(name);
    ZOV_TRACE(fn, "Attribute Name = <%s>  Buffer size = <%i>", attributeName.getcValue(),
              bufferLength);
    const char* defaultValue = nullptr;
    if (attributeName == typeName) {
        defaultValue = kTypeDefault;
    } else if (attributeName == eventMessageName) {
        defaultValue = kEventMessageDefault;
    } else if (attributeName == collectQueueTimeName) {
        defaultValue = kCollectQueueTimeDefault;
    }
    if (defaultValue != nullptr && buffer != nullptr) {
        if (ZOV_Attribute* attribute = attributes.find(&attributeName); attribute != nullptr) {
            ZOV_String value(attribute->getValue());
            ZOV_TRACE(fn, "Attribute Value = <%s>", value.getcValue());
            value.copyTo(buffer, unitsOf(bufferLength));
        } else {
            ZOV_String value(defaultValue);
            ZOV_TRACE(fn, "Attribute Value (Default) = <%s>", value.getcValue());
            value.copyTo(buffer, unitsOf(bufferLength));
        }
    }
    const int result = defaultValue != nullptr ? 0 : 1;
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Node_Context::setNodeLabel(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Node_Context::setNodeLabel";
    ZOV_ENTRY(fn);
    if (ZOV_Monitoring_Node* node = usableMonitoringNode())
        node->setNodeLabel(value);
    ZOV_EXIT(fn);
}

void ZOV_Node_Context::setNodeType(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Node_Context::setNodeType";
    ZOV_ENTRY(fn);
    if (ZOV_Monitoring_Node* node = usableMonitoringNode())
        node->setNodeType(value);
    ZOV_EXIT(fn);
}

void ZOV_Node_Context::setEventMessage(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Node_Context::setEventMessage";
    ZOV_ENTRY(fn);
    if (ZOV_Monitoring_Node* node = usableMonitoringNode())
        node->setEventMessage(value);
    ZOV_EXIT(fn);
}

void ZOV_Node_Context::setQueueTimeCollection(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Node_Context::setQueueTimeCollection";
    ZOV_ENTRY(fn);
    if (ZOV_Monitoring_Node* node = usableMonitoringNode())
        node->setQueueTimeCollection(value);
    ZOV_EXIT(fn);
}
