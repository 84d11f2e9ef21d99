#include "tools/lumenaview_decode.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_units.h"
#include "zov/core/zovcevdr.h"
#include "zov/core/zovcevtr.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcmema.h"
#include "zov/core/zovcreir.h"
#include "zov/core/zovcshar.h"
#include "zov/core/zovcstir.h"

namespace lumenaview {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

// A string image in place: its characters (unaligned) and their count. The
// walk has checked that every image of a record lies inside the area.
struct StringImage {
    const unsigned char* units = nullptr;
    uint32_t length = 0;
    const unsigned char* end = nullptr;  // just after the image

    static StringImage at(const unsigned char* position) {
        StringImage text;
        ZOV_LoadField(position, 0, text.length);
        text.units = position + sizeof text.length;
        text.end = position + ZOV_String::kImageOverhead + 2 * static_cast<size_t>(text.length);
        return text;
    }
    std::string_view bytes() const {
        return {reinterpret_cast<const char*>(units), 2 * static_cast<size_t>(length)};
    }
    // The broker's names are UTF-16; every output writes UTF-8. Most names
    // are ASCII, taken a character at a time without a copy of the units.
    std::string narrow() const {
        std::string ascii(length, '\0');
        for (uint32_t i = 0; i < length; ++i) {
            uint16_t unit = 0;
            std::memcpy(&unit, units + 2 * i, sizeof unit);
            if (unit >= 0x80)
                return narrowAny();
            ascii[i] = static_cast<char>(unit);
        }
        return ascii;
    }
    std::string narrowAny() const {
        std::vector<unsigned short> copy(length);
        if (length != 0)  // an empty vector's data() may be null
            std::memcpy(copy.data(), units, 2 * static_cast<size_t>(length));
        return utf8FromUtf16(copy.data(), length);
    }
};

// A record image in the captured bytes, read through the shared layouts.
struct RecordImage {
    const unsigned char* position = nullptr;
    int size = 0;

    ZOV_RecordType type() const {
        int32_t value = 0;
        ZOV_LoadField(position, ZOV_Record_Header::kRecordIdOffset + ZOV_Record_ID::kTypeOffset,
                      value);
        return static_cast<ZOV_RecordType>(value);
    }
    std::string_view id() const { return idAt(ZOV_Record_Header::kRecordIdOffset); }
    std::string_view parentId() const { return idAt(ZOV_Record_Header::kParentIdOffset); }
    unixtime created() const {
        return ZOV_LoadUnixtime(position,
                                ZOV_Record_Header::kRecordIdOffset + ZOV_Record_ID::kCreatedOffset);
    }
    bool deleted() const {
        int32_t flag = 0;
        ZOV_LoadField(position, ZOV_Record_Header::kDeletedOffset, flag);
        return flag != 0;
    }
    // Resource information: UUID, label, and the member some kinds add.
    StringImage uuid() const { return StringImage::at(position + ZOV_REIR::kUuidOffset); }
    StringImage label() const { return StringImage::at(uuid().end); }
    int32_t addedMember() const {
        int32_t value = 0;
        ZOV_LoadField(position, size - ZOV_REIR::kAddedMemberSize, value);
        return value;
    }

  private:
    std::string_view idAt(int offset) const {
        return {reinterpret_cast<const char*>(position + offset), ZOV_Record_ID::kSize};
    }
};

// The records of one area as the library's reader takes them: every
// readable image in area order, those created at a time not later than the
// zero time left out. Unreadable records are reported once, located.
struct AreaRecords {
    std::vector<RecordImage> records;
    ZOV_ReturnCode result = ZOV_RC_OK;
    size_t end = 0;  // segment offset where the records taken end

    AreaRecords(const SegmentImage& image, const AreaView& where) {
        const unsigned char* area = image.bytes.data() + where.offset;
        end = where.offset + ZOV_Memory_Manager::kHeaderSize;
        ZOV_Area_Image_Walk walk(area, where.size);
        while (walk.next()) {
            const RecordImage record{walk.position(), walk.size()};
            if (ZOV_IsLater(record.created(), unixtime{}) == 0)
                continue;
            records.push_back(record);
            end = static_cast<size_t>(walk.position() + walk.size() - image.bytes.data());
        }
        result = walk.result();
    }

    void report(const AreaView& where, std::vector<Problem>& problems) const {
        if (result != ZOV_RC_NOT_FOUND)
            return;
        problems.push_back({end, format("corrupt area %s at offset %zu: unreadable record; the %zu "
                                        "records before it are shown",
                                        where.eyecatcher.c_str(), where.offset, records.size())});
    }
};

// The records of an area by parent record ID, each parent's children in area
// order: one hash entry per parent and one link per record, instead of a
// record object and a list per parent.
class ChildIndex {
  public:
    explicit ChildIndex(const std::vector<RecordImage>& records) : next(records.size(), kNone) {
        lists.reserve(records.size());
        for (size_t i = 0; i < records.size(); ++i) {
            const auto [list, added] = lists.try_emplace(records[i].parentId(), List{i, i});
            if (!added) {
                next[list->second.last] = i;
                list->second.last = i;
            }
        }
    }

    // Calls visit(index) for every record whose parent is `id`, in area order.
    template <typename Visit>
    void forChildren(std::string_view id, Visit&& visit) const {
        const auto list = lists.find(id);
        if (list == lists.end())
            return;
        for (size_t i = list->second.first; i != kNone; i = next[i])
            visit(i);
    }

  private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    struct List {
        size_t first;
        size_t last;
    };
    std::unordered_map<std::string_view, List> lists;
    std::vector<size_t> next;
};

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

// Sums per node-type slot, merged with the library's own rule.
struct SlotSums {
    ZOV_STIR slots[kSlots] = {ZOV_STIR{0}, ZOV_STIR{0}, ZOV_STIR{0}};

    void add(const SlotSums& other) {
        for (int slot = 0; slot < kSlots; ++slot)
            slots[slot] += other.slots[slot];
    }
    SlotStats stats() const { return {toStats(slots[0]), toStats(slots[1]), toStats(slots[2])}; }
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

// Sorted by label, then UUID, equal ones in area order: an order of indices
// is sorted and the items moved once into it, since a view (a flow with its
// nodes and sums) is large to swap.
template <typename T>
void sortByIdentity(std::vector<T>& items) {
    std::vector<uint32_t> order(items.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&items](uint32_t a, uint32_t b) {
        const T& x = items[a];
        const T& y = items[b];
        return x.label != y.label ? x.label < y.label : x.uuid < y.uuid;
    });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const uint32_t i : order)
        sorted.push_back(std::move(items[i]));
    items.swap(sorted);
}

// A resource's identity in the image: its UUID and label characters.
struct Identity {
    std::string_view uuid;
    std::string_view label;
    bool operator==(const Identity& other) const = default;
};
struct IdentityHash {
    size_t operator()(const Identity& id) const {
        const std::hash<std::string_view> hash;
        return hash(id.uuid) * 31 + hash(id.label);
    }
};
Identity identityOf(const RecordImage& record) {
    return {record.uuid().bytes(), record.label().bytes()};
}

// One node as the library rebuilds it from its records: the first record of
// its identity, taken over by a live one when it was deleted.
struct NodeState {
    RecordImage record;
    int type = 0;
    const unsigned char* statistics = nullptr;
};

// Builds the views from the records in place, the way the library's
// resource tree rebuilds itself with every stored node kept: groups from the
// broker's children, flows (one per identity in a group) from each group's,
// nodes (one per identity in a flow) from each flow's, and each node's first
// statistics child. Counts the records it accounts for.
class TreeDecoder {
  public:
    TreeDecoder(const SegmentImage& image, const std::vector<RecordImage>& records)
        : image(image), records(records), index(records) {
        for (size_t offset : image.unstableOffsets)
            unstable.insert(offset);
    }

    void groups(std::string_view brokerId, BrokerView& view) {
        SlotSums brokerSums;
        index.forChildren(brokerId, [&](size_t i) {
            if (records[i].type() != ZOV_RT_EXECUTION_GROUP)
                return;
            SlotSums sums;
            view.groups.push_back(group(records[i], sums));
            brokerSums.add(sums);
        });
        view.sums = brokerSums.stats();
        sortByIdentity(view.groups);
    }

    size_t accounted = 0;

  private:
    GroupView group(const RecordImage& record, SlotSums& sums) {
        GroupView view;
        view.label = record.label().narrow();
        view.uuid = record.uuid().narrow();
        view.processId = record.addedMember();
        view.process = processState(view.processId);
        ++accounted;
        std::unordered_map<Identity, bool, IdentityHash> seen;
        index.forChildren(record.id(), [&](size_t i) {
            if (records[i].type() != ZOV_RT_MESSAGE_FLOW ||
                !seen.emplace(identityOf(records[i]), true).second)
                return;
            SlotSums flowSums;
            view.flows.push_back(flow(records[i], flowSums));
            sums.add(flowSums);
        });
        view.sums = sums.stats();
        sortByIdentity(view.flows);
        return view;
    }

    FlowView flow(const RecordImage& record, SlotSums& sums) {
        FlowView view;
        view.label = record.label().narrow();
        view.uuid = record.uuid().narrow();
        ++accounted;
        std::vector<NodeState> nodes;
        std::unordered_map<Identity, size_t, IdentityHash> byIdentity;
        index.forChildren(record.id(), [&](size_t i) {
            const RecordImage& stored = records[i];
            if (stored.type() != ZOV_RT_NODE)
                return;
            const auto [found, added] = byIdentity.emplace(identityOf(stored), nodes.size());
            if (added) {
                nodes.push_back({stored, stored.addedMember(), nullptr});
            } else if (NodeState& node = nodes[found->second];
                       node.record.deleted() && !stored.deleted()) {
                // Brought back by another process: its live record counts.
                node.record = stored;
                node.type = stored.addedMember();
            }
            takeStatistics(nodes[found->second]);
        });
        view.nodes.reserve(nodes.size());
        for (const NodeState& node : nodes)
            view.nodes.push_back(nodeView(node, sums));
        view.sums = sums.stats();
        sortByIdentity(view.nodes);
        return view;
    }

    void takeStatistics(NodeState& node) {
        bool taken = false;
        index.forChildren(node.record.id(), [&](size_t i) {
            if (!taken && records[i].type() == ZOV_RT_STATISTICS) {
                node.statistics = records[i].position;
                taken = true;
            }
        });
    }

    NodeView nodeView(const NodeState& node, SlotSums& sums) {
        NodeView view;
        view.label = node.record.label().narrow();
        view.uuid = node.record.uuid().narrow();
        std::memcpy(view.recordId.data(), node.record.position + ZOV_Record_Header::kRecordIdOffset,
                    view.recordId.size());
        view.type = node.type;
        view.deleted = node.record.deleted();
        ++accounted;
        if (node.statistics == nullptr)
            return view;
        // One statistics object read in place and reused for every node.
        stored.getBounded(const_cast<unsigned char*>(node.statistics), nullptr);
        shown.reset();
        shown += stored;
        view.hasStatistics = true;
        view.stats = toStats(shown);
        const size_t offset = static_cast<size_t>(node.statistics - image.bytes.data());
        view.unstable = unstable.count(offset) != 0;
        ++accounted;
        if (node.type >= ZOV_NT_INPUT && node.type <= ZOV_NT_OTHER)
            sums.slots[node.type - ZOV_NT_INPUT] += shown;
        return view;
    }

    const SegmentImage& image;
    const std::vector<RecordImage>& records;
    const ChildIndex index;
    std::unordered_set<size_t> unstable;
    ZOV_STIR stored{0};
    ZOV_STIR shown{0};
};

void decodeTree(BrokerView& view, const SegmentImage& image, const AreaView& where) {
    const AreaRecords area(image, where);
    area.report(where, view.problems);
    const auto broker =
        std::find_if(area.records.begin(), area.records.end(),
                     [](const RecordImage& r) { return r.type() == ZOV_RT_BROKER; });
    if (broker == area.records.end()) {
        view.detachedRecords = static_cast<int>(area.records.size());
        return;
    }
    view.found = true;
    view.label = broker->label().narrow();
    view.resetTime = static_cast<uint32_t>(broker->addedMember());

    TreeDecoder decoder(image, area.records);
    decoder.groups(broker->id(), view);
    const size_t accounted = decoder.accounted + 1;
    if (area.records.size() > accounted)
        view.detachedRecords = static_cast<int>(area.records.size() - accounted);
}

// An event data record read in place, with its template's texts when known.
EventView eventView(const SegmentImage& image, const RecordImage& data, const RecordImage* templ) {
    const unsigned char* p = data.position;
    EventView event;
    event.offset = static_cast<size_t>(p - image.bytes.data());
    event.recordId = toHex(p + ZOV_Record_Header::kRecordIdOffset, ZOV_Record_ID::kSize);
    event.created = data.created();
    ZOV_LoadField(p, ZOV_EVDR::kEventTimeOffset, event.eventTime);
    ZOV_LoadField(p, ZOV_EVDR::kThreadIdOffset, event.threadId);
    event.messageId = toHex(p + ZOV_EVDR::kMessageIdOffset, ZOV_EVDR::kMessageIdSize);
    event.correlationId = toHex(p + ZOV_EVDR::kCorrelIdOffset, ZOV_EVDR::kCorrelIdSize);
    ZOV_LoadField(p, ZOV_EVDR::kPutApplTypeOffset, event.putApplType);
    event.putApplName = toPrintable(p + ZOV_EVDR::kPutApplNameOffset, ZOV_EVDR::kPutApplNameSize);
    event.putDate = toPrintable(p + ZOV_EVDR::kPutDateOffset, ZOV_EVDR::kPutDateSize);
    event.putTime = toPrintable(p + ZOV_EVDR::kPutTimeOffset, ZOV_EVDR::kPutTimeSize);
    if (templ != nullptr) {
        // Template image: three labels, the node type, the text.
        const StringImage group =
            StringImage::at(templ->position + ZOV_EVTR::kExecutionGroupOffset);
        const StringImage flow = StringImage::at(group.end);
        const StringImage node = StringImage::at(flow.end);
        const StringImage text = StringImage::at(node.end + ZOV_EVTR::kNodeTypeSize);
        event.hasTemplate = true;
        event.groupLabel = group.narrow();
        event.flowLabel = flow.narrow();
        event.nodeLabel = node.narrow();
        ZOV_LoadField(node.end, 0, event.nodeType);
        event.text = text.narrow();
    }
    return event;
}

void decodeEvents(BrokerView& view, const SegmentImage& image, const SegmentLayout& layout,
                  const DecodeOptions& options) {
    view.eventsShown = true;
    std::vector<RecordImage> templates;
    if (const AreaView* where = layout.find(kTemplatesEyecatcher)) {
        AreaRecords area(image, *where);
        area.report(*where, view.problems);
        templates = std::move(area.records);
    }
    std::unordered_map<std::string_view, const RecordImage*> templateById;
    for (const RecordImage& record : templates) {
        if (record.type() == ZOV_RT_EVENT_TEMPLATE)
            templateById.emplace(record.id(), &record);
    }
    const AreaView* where = layout.find(kEventDataEyecatcher);
    if (where == nullptr)
        return;
    const AreaRecords data(image, *where);
    data.report(*where, view.problems);

    std::unordered_set<std::string> present;
    for (const RecordImage& record : data.records) {
        if (record.type() != ZOV_RT_EVENT_DATA)
            continue;
        std::string id(record.id());
        if (options.seenEvents != nullptr && options.seenEvents->count(id) != 0) {
            present.insert(std::move(id));
            continue;
        }
        present.insert(std::move(id));
        const auto templ = templateById.find(record.parentId());
        view.events.push_back(
            eventView(image, record, templ != templateById.end() ? templ->second : nullptr));
    }
    // In the order they were written: after the area started again from its
    // beginning, the older survivors beyond the next position first, then
    // those written since, each in area order. Time stamps would not do: two
    // records of one millisecond tie, and a clock set back reorders them.
    const size_t restart = where->offset + static_cast<size_t>(std::max(where->nextOffset, 0));
    std::stable_partition(view.events.begin(), view.events.end(),
                          [restart](const EventView& event) { return event.offset >= restart; });
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
    ZOV_Area_Image_Walk walk(image.bytes.data() + where->offset, where->size);
    while (walk.next()) {
        if (walk.type() == ZOV_RT_STATISTICS) {
            spans.push_back({static_cast<size_t>(walk.position() - image.bytes.data()),
                             static_cast<size_t>(walk.size())});
        }
    }
    return spans;
}

std::string resourceLabel(const unsigned char* record) {
    return RecordImage{record, 0}.label().narrow();
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
