#include "zov/node/zovpmono.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>

#include "zov/node/zovcbrkr.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/node/zovcexgr.h"
#include "zov/node/zovcmefl.h"
#include "zov/node/zovcnode.h"

static constexpr char _ZOV_UNIT_[] = "zovpmono";

namespace {

// Holds the statistics area's lock (re-entrant, inter-process) for a scope.
class StatsAreaLock {
  public:
    explicit StatsAreaLock(ZOV_Broker* broker) : broker(broker) { broker->lockStatsArea(); }
    ~StatsAreaLock() { broker->unlockStatsArea(); }
    StatsAreaLock(const StatsAreaLock&) = delete;
    StatsAreaLock& operator=(const StatsAreaLock&) = delete;

  private:
    ZOV_Broker* broker;
};

// "Exception found in <where>(<detail>). <text>"; a text the broker left
// null counts as empty.
ZOV_String exceptionText(const BrkExceptionData& data) {
    auto orEmpty = [](const char* text) { return text != nullptr ? text : ""; };
    ZOV_String text("Exception found in ");
    text += orEmpty(data.where);
    text += "(";
    text += orEmpty(data.detail);
    text += "). ";
    text += orEmpty(data.text);
    return text;
}

// Both texts of an identity were allocated.
bool heldWhole(const ZOV_Resource_ID& id) {
    return id.label.status == 0 && id.uuid.status == 0;
}

}  // namespace

ZOV_Monitoring_Node::ZOV_Monitoring_Node(const ZOV_Resource_ID* brokerId,
                                         const ZOV_Resource_ID* executionGroupId,
                                         const ZOV_Resource_ID* messageFlowId,
                                         const ZOV_Resource_ID* nodeId) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::ZOV_Monitoring_Node";
    ZOV_ENTRY(fn);
    init(brokerId, executionGroupId, messageFlowId, nodeId);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_Monitoring_Node::~ZOV_Monitoring_Node() {
    static constexpr char fn[] = "ZOV_Monitoring_Node::~ZOV_Monitoring_Node";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Monitoring_Node::init(const ZOV_Resource_ID* brokerId,
                               const ZOV_Resource_ID* executionGroupId,
                               const ZOV_Resource_ID* messageFlowId,
                               const ZOV_Resource_ID* nodeId) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::init";
    ZOV_ENTRY(fn);
    if (brokerId == nullptr || executionGroupId == nullptr || messageFlowId == nullptr ||
        nodeId == nullptr) {
        status = ZOV_STATUS_FAILED;
    } else {
        this->brokerId = *brokerId;
        this->executionGroupId = *executionGroupId;
        this->messageFlowId = *messageFlowId;
        this->nodeId = *nodeId;
        // An identity whose text could not be copied would join the tree,
        // or name the segment, as another resource.
        for (const ZOV_Resource_ID* id :
             {&this->brokerId, &this->executionGroupId, &this->messageFlowId, &this->nodeId}) {
            if (!heldWhole(*id))
                status = ZOV_STATUS_FAILED;
        }
        if (status != 0)
            ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    if (status == 0) {
        broker = new (std::nothrow) ZOV_Broker(&this->brokerId);
        if (broker == nullptr) {
            status = ZOV_STATUS_FAILED;
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (broker->status != 0) {
            status = ZOV_STATUS_FAILED;
            delete broker;
            broker = nullptr;
        }
    }
    ZOV_EXIT(fn);
}

void ZOV_Monitoring_Node::cleanup() {
    static constexpr char fn[] = "ZOV_Monitoring_Node::cleanup";
    ZOV_ENTRY(fn);
    // The node's records stay in the area, marked deleted, for the agent.
    if (node != nullptr && broker != nullptr)
        broker->deleteNode(node);
    node = nullptr;
    statisticsRecord = nullptr;
    messageFlow = nullptr;
    executionGroup = nullptr;
    delete broker;
    broker = nullptr;
    delete eventTemplate;
    eventTemplate = nullptr;
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// Joining the tree.

void ZOV_Monitoring_Node::initializeNode() {
    static constexpr char fn[] = "ZOV_Monitoring_Node::initializeNode";
    ZOV_ENTRY(fn);
    if (initialized == 0 && status == 0 && broker != nullptr && broker->status == 0) {
        const ZOV_String_Failure_Watch strings;
        if (labelSet == 0) {
            ZOV_String unknown(kZOVUnknownNodeLabel);
            nodeId.setLabel(&unknown);
            if (unknown.status != 0)
                nodeId.label.status = ZOV_STATUS_FAILED;
            labelSet = 1;
        }
        // A label that could not be held would join the tree as another
        // (empty) node: the node stays out instead.
        if (heldWhole(nodeId))
            joinTree();
        else
            status = ZOV_STATUS_FAILED;
        // A resource whose record could not hold its texts is neither found
        // nor made: the node then stays out of the tree for good.
        if (status != 0 && (strings.seen() || !heldWhole(nodeId)))
            ZOV_LOG_ALLOCATION_ERROR(fn);
        // The template is stored outside the statistics area's lock: storing
        // it may create the events areas, which takes the segment mutex.
        if (status == 0) {
            if (eventMessageEnabled)
                initEventMessage();
            initialized = 1;
        }
    }
    ZOV_EXIT(fn);
}

// The whole join runs under the statistics area's lock. Without it, two node
// instances of the same new resource joining at once (threads or processes)
// would each read an area without it, each insert it, and leave two alike
// records in the area. readStatsArea and resetStatistics take the same lock
// again inside; it is re-entrant for the thread holding it.
void ZOV_Monitoring_Node::joinTree() {
    StatsAreaLock lock(broker);
    if (broker->readStatsArea(1) == ZOV_RC_OK) {
        executionGroup = broker->findExecutionGroup(&executionGroupId);
        if (executionGroup == nullptr)
            executionGroup = broker->insertExecutionGroup(&executionGroupId);
    }
    if (executionGroup != nullptr) {
        executionGroup->setProcessId(getProcessId());
        messageFlow = executionGroup->findMessageFlow(&messageFlowId);
        if (messageFlow == nullptr)
            messageFlow = executionGroup->insertMessageFlow(&messageFlowId);
    } else {
        status = ZOV_STATUS_FAILED;
    }
    if (messageFlow != nullptr) {
        node = messageFlow->findNode(&nodeId);
        if (node == nullptr) {
            node = messageFlow->insertNode(&nodeId);
        } else if (node->isDeleted()) {
            node->undelete();
        }
    } else {
        status = ZOV_STATUS_FAILED;
    }
    if (node != nullptr) {
        node->setNodeType(nodeType);
        statisticsRecord = node->getNodeStatistics();
        if (statisticsRecord == nullptr)
            statisticsRecord = node->insertStatistics(nullptr);
    } else {
        status = ZOV_STATUS_FAILED;
    }
    if (statisticsRecord != nullptr) {
        broker->resetStatistics();
    } else {
        status = ZOV_STATUS_FAILED;
    }
}

void ZOV_Monitoring_Node::setNodeLabel(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::setNodeLabel";
    ZOV_ENTRY(fn);
    if (status == 0 && value != nullptr) {
        nodeId.setLabel(value);
        if (value->status != 0)
            nodeId.label.status = ZOV_STATUS_FAILED;  // joins under no label
        labelSet = 1;
        if (typeSet && initialized == 0)
            initializeNode();
    }
    ZOV_EXIT(fn);
}

void ZOV_Monitoring_Node::setNodeType(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::setNodeType";
    ZOV_ENTRY(fn);
    nodeType = ZOV_NT_OTHER;
    if (value != nullptr && *value == "input") {
        nodeType = ZOV_NT_INPUT;
    } else if (value != nullptr && *value == "output") {
        nodeType = ZOV_NT_OUTPUT;
    }
    if (labelSet && initialized == 0)
        initializeNode();
    typeSet = 1;
    ZOV_EXIT(fn);
}

void ZOV_Monitoring_Node::setQueueTimeCollection(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::setQueueTimeCollection";
    ZOV_ENTRY(fn);
    queueTimeCollection = value != nullptr && *value == "yes" ? 1 : 0;
    ZOV_EXIT(fn);
}

ZOV_NodeType ZOV_Monitoring_Node::getNodeType() const {
    return node != nullptr ? node->getNodeType() : ZOV_NT_OTHER;
}

int ZOV_Monitoring_Node::getThreadId() {
    return static_cast<int>(static_cast<unsigned long>(pthread_self()));
}

int ZOV_Monitoring_Node::getProcessId() {
    return static_cast<int>(getpid());
}

// ---------------------------------------------------------------------------
// Events.

void ZOV_Monitoring_Node::getLabels(ZOV_String& executionGroupLabel, ZOV_String& messageFlowLabel,
                                    ZOV_String& nodeLabel) const {
    if (executionGroup != nullptr)
        executionGroupLabel = executionGroup->getLabel();
    if (messageFlow != nullptr)
        messageFlowLabel = messageFlow->getLabel();
    if (node != nullptr)
        nodeLabel = node->getLabel();
}

ZOV_ReturnCode ZOV_Monitoring_Node::setEventMessage(const ZOV_String* value) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::setEventMessage";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    // An empty value changes nothing: event messages, once on, stay on.
    if (value != nullptr && !value->isEmpty()) {
        eventMessageEnabled = 1;
        eventText = *value;
        if (initialized && status == 0)
            result = initEventMessage();
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_ReturnCode ZOV_Monitoring_Node::initEventMessage() {
    static constexpr char fn[] = "ZOV_Monitoring_Node::initEventMessage";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (!eventText.isEmpty()) {
        ZOV_String executionGroupLabel, messageFlowLabel, nodeLabel;
        getLabels(executionGroupLabel, messageFlowLabel, nodeLabel);
        delete eventTemplate;
        eventTemplate = new (std::nothrow) ZOV_EVTR(&executionGroupLabel, &messageFlowLabel,
                                                    &nodeLabel, getNodeType(), &eventText);
        if (eventTemplate == nullptr) {
            result = ZOV_RC_ALLOCATION;
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else if (broker != nullptr && broker->status == 0) {
            std::lock_guard<std::mutex> guard(templateMutex);
            // The node's template becomes the stored one: possibly an equal
            // template another node instance stored earlier.
            ZOV_EVTR* stored = broker->setEventTemplate(eventTemplate);
            if (stored != nullptr && stored != eventTemplate)
                *eventTemplate = *stored;
        }
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_Monitoring_Node::postEvent(const BrkMqmd* descriptor, ZOV_EVTR* eventTemplate) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::postEvent";
    ZOV_ENTRY(fn);
    ZOV_EVTR* used = eventTemplate != nullptr ? eventTemplate : this->eventTemplate;
    if (status == 0 && broker != nullptr && used != nullptr && descriptor != nullptr) {
        ZOV_EVDR data(descriptor, getThreadId());
        data.setParent(used->getRecordId());
        broker->postEvent(&data);
    }
    ZOV_EXIT(fn);
}

void ZOV_Monitoring_Node::postMessageEvent(const unsigned char* descriptor) {
    const ZOV_EVTR* used = eventTemplate;
    if (status == 0 && broker != nullptr && used != nullptr)
        broker->appendEvent(descriptor, getThreadId(), *used->getRecordId());
}

void ZOV_Monitoring_Node::postException(const BrkMqmd* descriptor) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::postException";
    ZOV_ENTRY(fn);
    BrkExceptionData data;
    std::memset(&data, 0, sizeof data);
    if (status == 0 && broker != nullptr && descriptor != nullptr) {
        int rc = 0;
        cciGetLastExceptionData(&rc, &data);
        const ZOV_String text = exceptionText(data);
        ZOV_String executionGroupLabel, messageFlowLabel, nodeLabel;
        getLabels(executionGroupLabel, messageFlowLabel, nodeLabel);
        ZOV_EVTR exceptionTemplate(&executionGroupLabel, &messageFlowLabel, &nodeLabel,
                                   getNodeType(), &text);
        // The events area's copy of the stored templates is process-local
        // state without a lock of its own, and the template it hands back
        // lives only until its next refresh: exceptions on several threads of
        // this node take turns here. Plain messages never come this way.
        std::lock_guard<std::mutex> guard(templateMutex);
        postEvent(descriptor, broker->setEventTemplate(&exceptionTemplate));
    }
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// Statistics.

void ZOV_Monitoring_Node::updateStatistics(double queuedTime, double elapsedTime, int size) {
    static constexpr char fn[] = "ZOV_Monitoring_Node::updateStatistics";
    ZOV_ENTRY(fn);
    const double queued = queueTimeCollection ? queuedTime : 0.0;
    if (broker != nullptr)
        broker->updateStatistics(statisticsRecord, queued, elapsedTime, size);
    ZOV_EXIT(fn);
}
