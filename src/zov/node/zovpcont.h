// ZOV_Node_Context: the object behind one node instance in a deployed message
// flow. It creates the terminals "in" and "out", learns the names of its
// broker, execution group and flow, keeps the attributes the broker sets, and
// measures every message (size, processor time until the flow downstream is
// done, time spent queued since its put date and time) before handing the
// figures to its monitoring node.
//
// Threads: processMessage may run on several threads at once for one
// context; it keeps all per-message state on the stack and takes no lock.
// The attribute operations are not called concurrently with one another.
#pragma once

#include <atomic>
#include <cstdint>

#include "broker/brk_api.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcstrn.h"
#include "zov/node/zovpattr.h"

class ZOV_Monitoring_Node;

// Calendar time as the queued-time computation reads it: seconds since
// 1970-01-01 00:00:00 UTC and the microseconds within that second.
struct ZOV_Time_Of_Day {
    long long seconds;
    long microseconds;
};
using ZOV_Clock = ZOV_Time_Of_Day (*)();
// The system's calendar clock.
ZOV_Time_Of_Day ZOV_SystemTimeOfDay();

// Seconds since 1970-01-01 00:00:00 UTC of a UTC date and time (negative
// before 1970). False, leaving `result` alone, when the fields are no
// calendar date and time or the year lies before 1901.
bool ZOV_UtcSeconds(int year, int month, int day, int hours, int minutes, int seconds,
                    long long& result);

class ZOV_Node_Context {
  public:
    // `status` is 301 when a terminal, a name buffer or the monitoring node
    // could not be made; the context then passes messages on unmeasured as
    // long as its output terminal exists.
    explicit ZOV_Node_Context(BrkNode node);
    ~ZOV_Node_Context();
    ZOV_Node_Context(const ZOV_Node_Context&) = delete;
    ZOV_Node_Context& operator=(const ZOV_Node_Context&) = delete;

    // Destroys the monitoring node (its node is marked deleted in shared
    // memory) and the attributes. Safe to call twice.
    void cleanup();
    void getResourceNames();
    // Measures the message, propagates it to "out" and reports the figures.
    // An exception thrown downstream is passed back to the broker: this call
    // then does not return normally.
    void processMessage(BrkDestinationList destinations, BrkExceptionList exceptions,
                        BrkMessage message);
    // Seconds between the put date and time (8 digit characters each, UTC,
    // not necessarily terminated) and the current time read from `clock`.
    double getQueuedTime(const char* putDate, const char* putTime,
                         ZOV_Clock clock = ZOV_SystemTimeOfDay) const;
    // The same for the descriptor at the start of a bit stream of `size`
    // bytes: a put field that the stream's end cuts reads as empty.
    double getQueuedTime(const unsigned char* stream, int size,
                         ZOV_Clock clock = ZOV_SystemTimeOfDay) const;

    // Attribute operations; results 0 or 1.
    int setAttributeValue(const BrkChar16* name, const BrkChar16* value);
    int getAttributeName(int index, BrkChar16* buffer, int bufferLength);
    int getAttributeValue(const BrkChar16* name, BrkChar16* buffer, int bufferLength);
    void insertAttribute(const ZOV_String* name, const ZOV_String* value);
    void setNodeLabel(const ZOV_String* value);
    void setNodeType(const ZOV_String* value);
    void setEventMessage(const ZOV_String* value);
    void setQueueTimeCollection(const ZOV_String* value);

    // Read-only views, for tests.
    BrkTerminal getInputTerminal() const { return inputTerminal; }
    BrkTerminal getOutputTerminal() const { return outputTerminal; }
    const ZOV_Resource_ID& getBrokerId() const { return brokerId; }
    const ZOV_Resource_ID& getExecutionGroupId() const { return executionGroupId; }
    const ZOV_Resource_ID& getMessageFlowId() const { return messageFlowId; }
    ZOV_Monitoring_Node* getMonitoringNode() const { return monitoringNode; }
    const ZOV_Attributes_List& getAttributes() const { return attributes; }

    int status = 0;

  private:
    // getQueuedTime of put fields that are all digits, as numbers.
    double digitsQueuedTime(uint32_t date, uint64_t timePairs, ZOV_Clock clock) const;
    // The monitoring node when it exists and is usable, else null.
    ZOV_Monitoring_Node* usableMonitoringNode() const;

    BrkNode nodeObject = nullptr;
    BrkTerminal inputTerminal = nullptr;
    BrkTerminal outputTerminal = nullptr;
    ZOV_Resource_ID brokerId;
    ZOV_Resource_ID executionGroupId;
    ZOV_Resource_ID messageFlowId;
    ZOV_Resource_ID nodeId;
    ZOV_Monitoring_Node* monitoringNode = nullptr;
    ZOV_Attributes_List attributes;
    ZOV_String labelName;
    ZOV_String typeName;
    ZOV_String eventMessageName;
    ZOV_String collectQueueTimeName;
    // The last put date seen (YYYYMMDD, high half) and its day number since
    // 1970-01-01 (low half, signed). Before the first, a high half that no
    // eight digits make (they stay below 10^8), so that no date, "00000000"
    // included, finds a day it never had. Message threads share it: one
    // word, read and written whole.
    mutable std::atomic<uint64_t> putDay{~uint64_t{0}};
};
