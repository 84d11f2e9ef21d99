// ZOV_Monitoring_Node: connects one node instance of a message flow to the
// broker's resource tree in shared memory. It joins the tree once the node's
// label and type are known, then turns every message into a statistics update
// and, when the "eventMessage" attribute is set, an event; an exception thrown
// downstream becomes an exception event.
//
// Threads: updateStatistics, postEvent and postException may run on several
// message threads at once; they only read this object's fields. The fields
// are written while attributes are set and at the join, before messages flow.
// Exceptions on several threads at once take turns over the events area's
// template cache (templateMutex); a plain message takes no in-process lock.
#pragma once

#include <mutex>

#include "broker/brk_api.h"
#include "zov/core/zovcreid.h"
#include "zov/core/zovcstrn.h"
#include "zov/core/zovctool.h"

class ZOV_Broker;
class ZOV_Execution_Group;
class ZOV_Message_Flow;
class ZOV_Node;
class ZOV_STIR;
class ZOV_EVTR;

// Label under which a node joins when no "label" attribute came first.
inline constexpr const char* kZOVUnknownNodeLabel = "*Unknown*LumenaMonitor";

class ZOV_Monitoring_Node {
  public:
    // `status` is 301 when an identity is null or the broker object failed.
    ZOV_Monitoring_Node(const ZOV_Resource_ID* brokerId, const ZOV_Resource_ID* executionGroupId,
                        const ZOV_Resource_ID* messageFlowId, const ZOV_Resource_ID* nodeId);
    ~ZOV_Monitoring_Node();
    ZOV_Monitoring_Node(const ZOV_Monitoring_Node&) = delete;
    ZOV_Monitoring_Node& operator=(const ZOV_Monitoring_Node&) = delete;

    void init(const ZOV_Resource_ID* brokerId, const ZOV_Resource_ID* executionGroupId,
              const ZOV_Resource_ID* messageFlowId, const ZOV_Resource_ID* nodeId);
    // Marks the node deleted in shared memory and releases the broker object
    // and the event template. Safe to call twice.
    void cleanup();
    // Joins the broker's tree: finds or inserts the execution group, flow and
    // node, takes the node's statistics record and resets all statistics.
    void initializeNode();

    void updateStatistics(double queuedTime, double elapsedTime, int size);
    void postEvent(const BrkMqmd* descriptor, ZOV_EVTR* eventTemplate);
    // The message's event with tracing off, straight from the descriptor's
    // BRK_MQMD_SIZE bytes at the start of the bit stream: the image
    // postEvent(descriptor, nullptr) writes, without copying the descriptor.
    void postMessageEvent(const unsigned char* descriptor);
    void postException(const BrkMqmd* descriptor);

    ZOV_NodeType getNodeType() const;
    void setNodeLabel(const ZOV_String* value);
    void setNodeType(const ZOV_String* value);
    void setQueueTimeCollection(const ZOV_String* value);
    ZOV_ReturnCode setEventMessage(const ZOV_String* value);
    ZOV_ReturnCode initEventMessage();

    static int getThreadId();
    static int getProcessId();

    // Read-only views, for the context and for tests.
    int isInitialized() const { return initialized; }
    // The kind from the last "type" attribute; the node in the tree keeps
    // the kind it joined with.
    ZOV_NodeType getConfiguredNodeType() const { return nodeType; }
    int isQueueTimeCollected() const { return queueTimeCollection; }
    int isEventMessageEnabled() const { return eventMessageEnabled; }
    const ZOV_Resource_ID& getNodeId() const { return nodeId; }
    ZOV_Broker* getBroker() const { return broker; }
    ZOV_Node* getNode() const { return node; }
    ZOV_STIR* getStatisticsRecord() const { return statisticsRecord; }
    ZOV_EVTR* getEventTemplate() const { return eventTemplate; }

    int status = 0;

  private:
    // Labels of the execution group, flow and node; empty for those not yet
    // joined, so an event before the join carries empty labels.
    void getLabels(ZOV_String& executionGroupLabel, ZOV_String& messageFlowLabel,
                   ZOV_String& nodeLabel) const;
    // The steps of initializeNode after the label, under the area lock.
    void joinTree();

    ZOV_Resource_ID brokerId;
    ZOV_Resource_ID executionGroupId;
    ZOV_Resource_ID messageFlowId;
    ZOV_Resource_ID nodeId;
    ZOV_Broker* broker = nullptr;
    ZOV_Execution_Group* executionGroup = nullptr;
    ZOV_Message_Flow* messageFlow = nullptr;
    ZOV_Node* node = nullptr;
    ZOV_STIR* statisticsRecord = nullptr;
    ZOV_EVTR* eventTemplate = nullptr;
    ZOV_NodeType nodeType = ZOV_NT_OTHER;
    ZOV_String eventText;
    int typeSet = 0;
    int labelSet = 0;
    int initialized = 0;
    int queueTimeCollection = 1;
    int eventMessageEnabled = 0;
    // Serialises use of the events area's template cache (setEventTemplate
    // and the template it returns); taken only by initEventMessage and on
    // the exception path, never for a plain message.
    std::mutex templateMutex;
};
