#include "tools/lumenaview_decode.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>
#include <string_view>
#include <unordered_map>

#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_units.h"
#include "zov/core/zovcbrir.h"
#include "zov/core/zovcedar.h"
#include "zov/core/zovcegir.h"
#include "zov/core/zovcetar.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/node/zovcexgr.h"
#include "zov/core/zovcimag.h"
#include "zov/node/zovcmefl.h"
#include "zov/node/zovcnode.h"
#include "zov/core/zovcnoir.h"
#include "zov/core/zovcrcst.h"
#include "zov/core/zovcshar.h"
#include "zov/core/zovcstar.h"
#include "zov/core/zovcstir.h"

namespace lumenaview {

namespace {

constexpr char kRecordEyecatcher[] = "RCRD";

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

// The broker's names are UTF-16; every output writes UTF-8.
std::string narrow(const ZOV_String& text) {
    return text.getValue() != nullptr ? utf8FromUtf16(text.getValue(), text.getLength()) : "";
}

std::string idKey(const ZOV_Record_ID& id) {
    return std::string(reinterpret_cast<const char*>(id.bytes), ZOV_Record_ID::kSize);
}

// The records of one area read; the collection does not own them, this does.
template <class Collection>
struct OwnedRecords {
    Collection records;
    OwnedRecords() = default;
    OwnedRecords(const OwnedRecords&) = delete;
    OwnedRecords& operator=(const OwnedRecords&) = delete;
    ~OwnedRecords() { records.clearAndDestroy(); }
};

// Points the library's area class at the area's bytes in the image (without
// init, which would map the live segment and build the area mutex) and reads
// every record. The reader only reads; the library's address type is simply
// not const.
template <class Area>
int readArea(const std::string& uuid, SegmentImage& image, const AreaView& where,
             ZOV_Record_Collection& records) {
    Area area{ZOV_String(uuid.c_str())};
    area.memoryManager.setSize(where.size);
    area.memoryManager.setAddress(image.bytes.data() + where.offset);
    return area.read(&records);
}

size_t offsetIn(const SegmentImage& image, const void* position) {
    return static_cast<size_t>(static_cast<const unsigned char*>(position) - image.bytes.data());
}

// Where a read stopped: the end of the furthest record it returned.
size_t readEnd(const SegmentImage& image, const AreaView& where,
               const ZOV_Record_Collection& records) {
    size_t end = where.offset + ZOV_Memory_Manager::kHeaderSize;
    for (const ZOV_Record* record : records) {
        if (record->getSharedPosition() == nullptr)
            continue;
        end = std::max(end, offsetIn(image, record->getSharedPosition()) + record->size());
    }
    return end;
}

void reportRead(int result, const SegmentImage& image, const AreaView& where,
                const ZOV_Record_Collection& records, std::vector<Problem>& problems) {
    if (result == ZOV_RC_OK)
        return;
    const size_t end = readEnd(image, where, records);
    const char* area = where.eyecatcher.c_str();
    if (result == ZOV_RC_NOT_FOUND) {
        problems.push_back({end, format("corrupt area %s at offset %zu: unreadable record; the %zu "
                                        "records before it are shown",
                                        area, where.offset, records.entries())});
    } else if (result == ZOV_RC_ALLOCATION) {
        problems.push_back(
            {end, format("area %s: out of memory after %zu records", area, records.entries())});
    } else {
        problems.push_back({where.offset, format("area %s: read failed (%d)", area, result)});
    }
}

Stats toStats(const ZOV_STIR& record) {
    Stats stats;
    stats.count = static_cast<long double>(record.getMessageCount());
    stats.sumSize = static_cast<long double>(record.getSumSize());
    stats.sumElapsedMs = static_cast<long double>(record.getSumElapsed());
    stats.sumQueuedMs = static_cast<long double>(record.getSumQueued());
    stats.maxSize = record.getMaxSize();
    stats.minSize = record.getMinSize();
    stats.maxElapsedMs = record.getMaxElapsed();
    stats.minElapsedMs = record.getMinElapsed();
    stats.maxQueuedMs = record.getMaxQueued();
    stats.minQueuedMs = record.getMinQueued();
    stats.firstCollection = record.getFirstCollection();
    stats.lastCollection = record.getLastCollection();
    return stats;
}

// Three zeroed statistics records, one per slot, to sum into.
struct SlotRecords {
    ZOV_STIR input{0};
    ZOV_STIR output{0};
    ZOV_STIR other{0};

    ZOV_ReturnCode addFrom(ZOV_MQSI_Resource& resource) {
        return resource.getStatistics(&input, &output, &other);
    }
    SlotStats stats() const { return {toStats(input), toStats(output), toStats(other)}; }
};

// True when the process has ended but is not yet reaped by its parent: the
// state letter after the command name in /proc/PID/stat is Z (or X).
bool isZombie(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() &&
           (line[end + 2] == 'Z' || line[end + 2] == 'X');
}

ProcessState processState(int pid) {
    if (pid <= 0)
        return ProcessState::kUnknown;
    if (kill(pid, 0) == 0 || errno == EPERM)
        return isZombie(pid) ? ProcessState::kGone : ProcessState::kAlive;
    return errno == ESRCH ? ProcessState::kGone : ProcessState::kUnknown;
}

template <typename T>
void sortByIdentity(std::vector<T>& items) {
    std::sort(items.begin(), items.end(), [](const T& a, const T& b) {
        return a.label != b.label ? a.label < b.label : a.uuid < b.uuid;
    });
}

// Turns the library's tree into views; counts the records it accounts for.
class TreeViewer {
  public:
    TreeViewer(const SegmentImage& image) : image(image) {
        for (size_t offset : image.unstableOffsets)
            unstable.insert(offset);
    }

    GroupView group(ZOV_Execution_Group& group) {
        GroupView view;
        view.label = narrow(group.getLabel());
        view.uuid = narrow(group.getUuid());
        view.processId = group.getProcessId();
        view.process = processState(view.processId);
        SlotRecords sums;
        sums.addFrom(group);
        view.sums = sums.stats();
        ++accounted;
        ZOV_Message_Flow_Set& flows = group.getMessageFlowSet();
        for (size_t i = 0; i < flows.entries(); ++i)
            view.flows.push_back(flow(*flows.at(i)));
        sortByIdentity(view.flows);
        return view;
    }

    size_t accounted = 0;

  private:
    FlowView flow(ZOV_Message_Flow& flow) {
        FlowView view;
        view.label = narrow(flow.getLabel());
        view.uuid = narrow(flow.getUuid());
        SlotRecords sums;
        sums.addFrom(flow);
        view.sums = sums.stats();
        ++accounted;
        ZOV_Node_Set& nodes = flow.getNodeSet();
        for (size_t i = 0; i < nodes.entries(); ++i)
            view.nodes.push_back(node(*nodes.at(i)));
        sortByIdentity(view.nodes);
        return view;
    }

    NodeView node(const ZOV_Node& node) {
        NodeView view;
        view.label = narrow(node.getLabel());
        view.uuid = narrow(node.getUuid());
        if (const ZOV_REIR* record = node.getInformationRecord()) {
            view.recordId = toHex(record->getRecordId()->bytes, ZOV_Record_ID::kSize);
        }
        const ZOV_NOIR* nodeRecord = node.getNodeRecord();
        view.type = nodeRecord != nullptr ? nodeRecord->getNodeTypeValue() : node.getNodeType();
        view.deleted = node.isDeleted() != 0;
        ++accounted;
        const ZOV_STIR* statistics = node.getNodeStatistics();
        if (statistics != nullptr && statistics->getSharedPosition() != nullptr) {
            view.hasStatistics = true;
            view.stats = toStats(*statistics);
            view.unstable = unstable.count(offsetIn(image, statistics->getSharedPosition())) != 0;
            ++accounted;
        }
        return view;
    }

    const SegmentImage& image;
    std::unordered_set<size_t> unstable;
};

const ZOV_BRIR* findBrokerRecord(const ZOV_Record_Collection& records) {
    for (const ZOV_Record* record : records) {
        if (record->getType() == ZOV_RT_BROKER)
            return dynamic_cast<const ZOV_BRIR*>(record);
    }
    return nullptr;
}

// Execution groups rebuilt the way the broker rebuilds them, with every
// stored node kept (deleted ones included).
void rebuildGroups(const ZOV_Record_ID* brokerId, const ZOV_Child_Index& index,
                   ZOV_Execution_Group_Set& groups) {
    for (ZOV_Record* record : index.childrenOf(brokerId)) {
        const auto* stored = dynamic_cast<const ZOV_EGIR*>(record);
        if (stored == nullptr)
            continue;
        auto* group = new (std::nothrow) ZOV_Execution_Group(stored);
        if (group == nullptr)
            continue;
        if (group->status != 0 || groups.insert(group) != 0) {
            delete group;
            continue;
        }
        group->findMessageFlows(index, 1);
    }
}

void decodeTree(BrokerView& view, SegmentImage& image, const AreaView& where) {
    OwnedRecords<ZOV_Record_Set> area;
    reportRead(readArea<ZOV_Stats_Area>(view.uuid, image, where, area.records), image, where,
               area.records, view.problems);
    const ZOV_BRIR* broker = findBrokerRecord(area.records);
    if (broker == nullptr) {
        view.detachedRecords = static_cast<int>(area.records.entries());
        return;
    }
    view.found = true;
    view.label = narrow(broker->getLabel());
    view.resetTime = broker->getResetTime();

    const ZOV_Child_Index index(area.records);
    ZOV_Execution_Group_Set groups;
    rebuildGroups(broker->getRecordId(), index, groups);

    // The reader's sums: initStatistics, then getStatistics per slot.
    SlotRecords brokerSums;
    for (size_t i = 0; i < groups.entries(); ++i) {
        groups.at(i)->initStatistics();
        brokerSums.addFrom(*groups.at(i));
    }
    view.sums = brokerSums.stats();

    TreeViewer viewer(image);
    for (size_t i = 0; i < groups.entries(); ++i)
        view.groups.push_back(viewer.group(*groups.at(i)));
    sortByIdentity(view.groups);
    const size_t accounted = viewer.accounted + 1;
    if (area.records.entries() > accounted) {
        view.detachedRecords = static_cast<int>(area.records.entries() - accounted);
    }
}

EventView eventView(const SegmentImage& image, const ZOV_EVDR& data, const ZOV_EVTR* templ) {
    EventView event;
    event.offset = offsetIn(image, data.getSharedPosition());
    event.recordId = toHex(data.getRecordId()->bytes, ZOV_Record_ID::kSize);
    event.created = data.getRecordId()->created();
    event.eventTime = data.getEventTime();
    event.threadId = data.getThreadId();
    event.messageId = toHex(data.getMessageId(), ZOV_EVDR::kMessageIdSize);
    event.correlationId = toHex(data.getCorrelId(), ZOV_EVDR::kCorrelIdSize);
    event.putApplType = data.getPutApplType();
    const auto bytes = [](const char* field) {
        return reinterpret_cast<const unsigned char*>(field);
    };
    event.putApplName = toPrintable(bytes(data.getPutApplName()), ZOV_EVDR::kPutApplNameSize);
    event.putDate = toPrintable(bytes(data.getPutDate()), ZOV_EVDR::kPutDateSize);
    event.putTime = toPrintable(bytes(data.getPutTime()), ZOV_EVDR::kPutTimeSize);
    if (templ != nullptr) {
        event.hasTemplate = true;
        event.groupLabel = narrow(templ->getExecutionGroupLabel());
        event.flowLabel = narrow(templ->getMessageFlowLabel());
        event.nodeLabel = narrow(templ->getNodeLabel());
        event.nodeType = templ->getNodeTypeValue();
        event.text = narrow(templ->getText());
    }
    return event;
}

bool createdBefore(const EventView& a, const EventView& b) {
    return ZOV_IsLater(b.created, a.created) != 0;
}

void decodeEvents(BrokerView& view, SegmentImage& image, const SegmentLayout& layout,
                  const DecodeOptions& options) {
    view.eventsShown = true;
    OwnedRecords<ZOV_Record_Set> templates;
    if (const AreaView* where = layout.find(kTemplatesEyecatcher)) {
        reportRead(readArea<ZOV_Events_Template_Area>(view.uuid, image, *where, templates.records),
                   image, *where, templates.records, view.problems);
    }
    std::unordered_map<std::string, const ZOV_EVTR*> templateById;
    for (const ZOV_Record* record : templates.records) {
        if (const auto* templ = dynamic_cast<const ZOV_EVTR*>(record)) {
            templateById.emplace(idKey(*templ->getRecordId()), templ);
        }
    }
    const AreaView* where = layout.find(kEventDataEyecatcher);
    if (where == nullptr)
        return;
    OwnedRecords<ZOV_Ordered_Record_Set> data;
    reportRead(readArea<ZOV_Events_Data_Area>(view.uuid, image, *where, data.records), image,
               *where, data.records, view.problems);

    std::unordered_set<std::string> present;
    for (const ZOV_Record* record : data.records) {
        const auto* event = dynamic_cast<const ZOV_EVDR*>(record);
        if (event == nullptr)
            continue;
        const std::string id = idKey(*event->getRecordId());
        present.insert(id);
        if (options.seenEvents != nullptr && options.seenEvents->count(id) != 0)
            continue;
        const auto templ = templateById.find(idKey(*event->getParentId()));
        view.events.push_back(
            eventView(image, *event, templ != templateById.end() ? templ->second : nullptr));
    }
    std::stable_sort(view.events.begin(), view.events.end(), createdBefore);
    if (options.seenEvents != nullptr)
        *options.seenEvents = std::move(present);
}

void reportUnstable(BrokerView& view, const SegmentImage& image) {
    view.unstableRecords = static_cast<int>(image.unstableOffsets.size());
    for (size_t offset : image.unstableOffsets) {
        view.problems.push_back(
            {offset,
             "statistics record unstable: it changed at every re-read, its figures may "
             "be torn"});
    }
}

}  // namespace

std::vector<Span> locateStatistics(SegmentImage& image) {
    std::vector<Span> spans;
    const SegmentLayout layout = inspectSegment(image.bytes.data(), image.bytes.size());
    const AreaView* where = layout.find(kStatsEyecatcher);
    if (!layout.error.empty() || where == nullptr)
        return spans;
    // The reader's walk, without building a record: the type from each
    // record header, the length from the library's decoding of the image.
    constexpr int32_t kHeader = ZOV_Memory_Manager::kHeaderSize;
    const int32_t last = std::clamp(where->lastOffset, kHeader, static_cast<int32_t>(where->size));
    const unsigned char* area = image.bytes.data() + where->offset;
    const unsigned char* const limit = area + last;
    for (const unsigned char* position = area + kHeader;
         limit - position >= ZOV_Record_Header::kSize &&
         std::memcmp(position, kRecordEyecatcher, 4) == 0;) {
        int32_t type = 0;
        ZOV_LoadField(position, ZOV_Record_Header::kRecordIdOffset + ZOV_Record_ID::kTypeOffset,
                      type);
        const int size = ZOV_StoredImageSize(static_cast<ZOV_RecordType>(type), position, limit);
        if (size <= 0)
            break;
        if (type == ZOV_RT_STATISTICS)
            spans.push_back({offsetIn(image, position), static_cast<size_t>(size)});
        position += size;
    }
    return spans;
}

BrokerView decodeBroker(const std::string& uuid, SegmentImage& image,
                        const DecodeOptions& options) {
    BrokerView view;
    view.uuid = uuid;
    view.keyFile = keyFilePath(uuid);
    view.segmentSize = static_cast<uint32_t>(image.bytes.size());
    view.takenAt = image.takenAt;
    view.monotonicAt = image.monotonicAt;
    const SegmentLayout layout = inspectSegment(image.bytes.data(), image.bytes.size());
    if (!layout.error.empty()) {
        view.error = layout.error;
        return view;
    }
    view.areas = layout.areas;
    view.problems = layout.problems;
    if (const AreaView* where = layout.find(kStatsEyecatcher))
        decodeTree(view, image, *where);
    reportUnstable(view, image);
    if (options.events)
        decodeEvents(view, image, layout, options);
    std::stable_sort(view.problems.begin(), view.problems.end(),
                     [](const Problem& a, const Problem& b) { return a.offset < b.offset; });
    return view;
}

}  // namespace lumenaview
