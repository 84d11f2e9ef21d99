// The viewer: decoding segment images laid out in memory the way the library
// carves them, its outputs, and, on real segments inside the sandbox, that it
// only looks and says clearly what it cannot read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/lumenaview_app.h"
#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_json.h"
#include "tools/lumenaview_prom.h"
#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_text.h"
#include "tools/lumenaview_units.h"
#include "zov/zovcbrir.h"
#include "zov/zovcbrkr.h"
#include "zov/zovcegir.h"
#include "zov/zovcevdr.h"
#include "zov/zovcevtr.h"
#include "zov/zovcmema.h"
#include "zov/zovcnoir.h"
#include "zov/zovcreir.h"
#include "zov/zovcstir.h"

namespace lv = lumenaview;

namespace {

constexpr char kUuid[] = "5e1f0c3a-0000-4000-8000-00000000b001";

ZOV_Resource_ID identity(const char* label, const char* uuid) {
    const ZOV_String l(label), u(uuid);
    return ZOV_Resource_ID(&u, &l);
}

// A segment laid out as the library carves it: the segment header, then
// areas of equal size, each formatted and filled by appending record images.
class SegmentBuilder {
  public:
    explicit SegmentBuilder(uint32_t areaSize = 4096)
        : areaSize(areaSize), image(3 * areaSize + ZOV_Memory_Manager::kHeaderSize) {
        segment.setSize(static_cast<unsigned>(image.size()));
        segment.setEyecatcher(lv::kSegmentEyecatcher);
        segment.setAddress(image.data());
        segment.setNextPosition(segment.getFirstPosition());
    }

    // Carves the next area; returns its index.
    size_t carve(const char* eyecatcher) {
        auto* position = static_cast<unsigned char*>(segment.getNextPosition());
        areas.push_back(std::make_unique<ZOV_Memory_Manager>());
        ZOV_Memory_Manager& area = *areas.back();
        area.setSize(areaSize);
        area.setEyecatcher(eyecatcher);
        area.setAddress(position);
        area.setNextPosition(area.getFirstPosition());
        segment.setNextPosition(position + areaSize);
        return areas.size() - 1;
    }

    // Appends the record to an area; returns the record's offset in the segment.
    size_t put(size_t area, ZOV_Record& record) {
        auto* position = static_cast<unsigned char*>(areas[area]->getNextPosition());
        areas[area]->setNextPosition(record.put(position));
        return static_cast<size_t>(position - image.data());
    }

    size_t areaOffset(size_t area) const {
        return static_cast<size_t>(static_cast<unsigned char*>(areas[area]->address) -
                                   image.data());
    }

    lv::SegmentImage snapshot() const {
        lv::SegmentImage snapshot;
        snapshot.bytes = image;
        return snapshot;
    }

    const uint32_t areaSize;
    std::vector<unsigned char> image;

  private:
    ZOV_Memory_Manager segment;
    std::vector<std::unique_ptr<ZOV_Memory_Manager>> areas;
};

// A process id that belonged to a process that has ended.
int endedProcessId() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Broker "BRK1" with two execution groups:
//   EG1 (this process): FlowA with In (type 1, 3 messages), Out (type 2, 2),
//                       Compute (type 3, 1) and Odd (type 7, 1: no slot);
//                       FlowB with Gone (type 2, deleted, 4 messages)
//   EG2 (an ended process): FlowC with Idle (type 1, no message)
// Event templates for In and Out; three events, one of them without template.
struct StandardSegment {
    StandardSegment() {
        stats = builder.carve(lv::kStatsEyecatcher);
        templates = builder.carve(lv::kTemplatesEyecatcher);
        data = builder.carve(lv::kEventDataEyecatcher);

        const ZOV_Resource_ID brokerId = identity("BRK1", kUuid);
        ZOV_BRIR broker(&brokerId);
        broker.setResetTime(resetTime);
        builder.put(stats, broker);
        ZOV_EGIR& eg1 = group(broker, "EG1", getpid());
        ZOV_MFIR& flowA = flow(eg1, "FlowA");
        node(flowA, "In", 1, {{0.5, 0.002, 100}, {1.5, 0.004, 300}, {1.0, 0.003, 200}});
        node(flowA, "Out", 2, {{0.0, 0.010, 1000}, {0.0, 0.020, 3000}});
        node(flowA, "Compute", 3, {{0.0, 0.0015, 50}});
        node(flowA, "Odd", 7, {{0.0, 0.001, 7}});
        ZOV_MFIR& flowB = flow(eg1, "FlowB");
        goneOffset = node(flowB, "Gone", 2, {{2, 1, 10}, {2, 1, 10}, {2, 1, 10}, {2, 1, 10}}, true);
        ZOV_EGIR& eg2 = group(broker, "EG2", endedProcessId());
        node(flow(eg2, "FlowC"), "Idle", 1, {});

        event(*storeTemplate("In", 1, "Message received"), "payroll", 11);
        event(*storeTemplate("Out", 2, "Message sent"), "billing", 12);
        // A template that never reached the templates area.
        ZOV_EVTR orphanParent(&eg1Label, &flowLabel, &eg1Label, ZOV_NT_OTHER, &eg1Label);
        event(orphanParent, "lost", 13);
    }

    ZOV_EGIR& group(ZOV_BRIR& broker, const char* label, int pid) {
        const ZOV_Resource_ID id = identity(label, (std::string(label) + "-uuid").c_str());
        keep.push_back(std::make_unique<ZOV_EGIR>(&id));
        auto& record = static_cast<ZOV_EGIR&>(*keep.back());
        record.setParent(broker.getRecordId());
        record.setProcessId(pid);
        builder.put(stats, record);
        return record;
    }

    ZOV_MFIR& flow(ZOV_EGIR& group, const char* label) {
        const ZOV_Resource_ID id = identity(label, (std::string(label) + "-uuid").c_str());
        keep.push_back(std::make_unique<ZOV_MFIR>(&id));
        auto& record = static_cast<ZOV_MFIR&>(*keep.back());
        record.setParent(group.getRecordId());
        builder.put(stats, record);
        return record;
    }

    struct Message {
        double queued, elapsed;
        int size;
    };
    // Puts the node record and its statistics record; returns the node
    // record's offset.
    size_t node(ZOV_MFIR& flow, const char* label, int type, const std::vector<Message>& messages,
                bool deleted = false) {
        const ZOV_Resource_ID id = identity(label, (std::string(label) + "-uuid").c_str());
        ZOV_NOIR record(&id);
        record.setParent(flow.getRecordId());
        record.setNodeType(static_cast<ZOV_NodeType>(type));
        if (deleted)
            record.markDeleted();
        const size_t offset = builder.put(stats, record);
        ZOV_STIR statistics(1);
        statistics.setParent(record.getRecordId());
        for (const Message& m : messages)
            statistics.updateStatistics(m.queued, m.elapsed, m.size);
        statisticsOffsets[label] = builder.put(stats, statistics);
        return offset;
    }

    ZOV_EVTR* storeTemplate(const char* node, int type, const char* text) {
        const ZOV_String nodeLabel(node), message(text);
        keep.push_back(std::make_unique<ZOV_EVTR>(&eg1Label, &flowLabel, &nodeLabel,
                                                  static_cast<ZOV_NodeType>(type), &message));
        auto* templ = static_cast<ZOV_EVTR*>(keep.back().get());
        builder.put(templates, *templ);
        return templ;
    }

    void event(const ZOV_EVTR& templ, const char* application, int thread) {
        BrkMqmd md{};
        std::memset(md.putApplName, ' ', sizeof md.putApplName);
        std::memcpy(md.putApplName, application, std::strlen(application));
        std::memcpy(md.putDate, "20240501", 8);
        std::memcpy(md.putTime, "12345678", 8);
        md.msgId[0] = 0xAB;
        md.putApplType = 6;
        ZOV_EVDR record(&md, thread);
        record.setParent(templ.getRecordId());
        builder.put(data, record);
    }

    lv::BrokerView decode(bool events = true) {
        lv::SegmentImage image = builder.snapshot();
        lv::DecodeOptions options;
        options.events = events;
        return lv::decodeBroker(kUuid, image, options);
    }

    SegmentBuilder builder;
    size_t stats = 0, templates = 0, data = 0;
    const uint32_t resetTime = ZOV_SecondsSince1901() - 60;
    const ZOV_String eg1Label{"EG1"}, flowLabel{"FlowA"};
    std::vector<std::unique_ptr<ZOV_Record>> keep;
    std::map<std::string, size_t> statisticsOffsets;
    size_t goneOffset = 0;
};

const lv::GroupView& groupNamed(const lv::BrokerView& view, const std::string& label) {
    for (const lv::GroupView& g : view.groups) {
        if (g.label == label)
            return g;
    }
    throw std::runtime_error("no group " + label);
}

const lv::FlowView& flowNamed(const lv::GroupView& group, const std::string& label) {
    for (const lv::FlowView& f : group.flows) {
        if (f.label == label)
            return f;
    }
    throw std::runtime_error("no flow " + label);
}

const lv::NodeView& nodeNamed(const lv::FlowView& flow, const std::string& label) {
    for (const lv::NodeView& n : flow.nodes) {
        if (n.label == label)
            return n;
    }
    throw std::runtime_error("no node " + label);
}

}  // namespace

// ---- segment and area headers ---------------------------------------------

TEST(ViewerSegment, ForeignAndTruncatedSegmentsAreRefusedWithAReason) {
    SegmentBuilder builder;
    builder.carve(lv::kStatsEyecatcher);
    std::vector<unsigned char> image = builder.image;

    EXPECT_NE(lv::inspectSegment(image.data(), 40).error.find("truncated segment"),
              std::string::npos);
    EXPECT_NE(lv::inspectSegment(image.data(), image.size() - 1).error.find("declares"),
              std::string::npos);
    std::memcpy(image.data(), "notours!", 8);
    const lv::SegmentLayout foreign = lv::inspectSegment(image.data(), image.size());
    EXPECT_NE(foreign.error.find("foreign segment"), std::string::npos);
    EXPECT_NE(foreign.error.find("notours!"), std::string::npos);
    EXPECT_TRUE(lv::inspectSegment(builder.image.data(), builder.image.size()).error.empty());
}

TEST(ViewerSegment, DamagedAreaHeaderIsReportedAndTheNextAreaStillFound) {
    SegmentBuilder builder;
    builder.carve(lv::kStatsEyecatcher);
    const size_t templates = builder.carve(lv::kTemplatesEyecatcher);
    builder.carve(lv::kEventDataEyecatcher);
    const size_t offset = builder.areaOffset(templates);
    std::memcpy(builder.image.data() + offset, "garbage!", 8);

    const lv::SegmentLayout layout = lv::inspectSegment(builder.image.data(), builder.image.size());
    ASSERT_TRUE(layout.error.empty());
    ASSERT_EQ(layout.problems.size(), 1u);
    EXPECT_EQ(layout.problems[0].offset, offset);
    EXPECT_NE(layout.find(lv::kStatsEyecatcher), nullptr);
    EXPECT_EQ(layout.find(lv::kTemplatesEyecatcher), nullptr);
    ASSERT_NE(layout.find(lv::kEventDataEyecatcher), nullptr);

    // An area claiming more than the segment holds is not trusted either.
    std::memcpy(builder.image.data() + offset, lv::kTemplatesEyecatcher, 8);
    const uint32_t huge = 1u << 30;
    std::memcpy(builder.image.data() + offset + ZOV_Memory_Manager::kSizeOffset, &huge, 4);
    const lv::SegmentLayout oversized =
        lv::inspectSegment(builder.image.data(), builder.image.size());
    ASSERT_EQ(oversized.problems.size(), 1u);
    EXPECT_EQ(oversized.problems[0].offset, offset + ZOV_Memory_Manager::kSizeOffset);
    EXPECT_NE(oversized.find(lv::kEventDataEyecatcher), nullptr);
}

// ---- decoding ---------------------------------------------------------------

TEST(ViewerDecode, TreeNodesAndStatisticsAsStored) {
    StandardSegment segment;
    const lv::BrokerView view = segment.decode();

    ASSERT_TRUE(view.error.empty());
    EXPECT_TRUE(view.problems.empty());
    EXPECT_TRUE(view.found);
    EXPECT_EQ(view.label, "BRK1");
    EXPECT_EQ(view.resetTime, segment.resetTime);
    EXPECT_EQ(view.detachedRecords, 0);
    EXPECT_EQ(view.areas.size(), 3u);
    ASSERT_EQ(view.groups.size(), 2u);
    EXPECT_EQ(view.groups[0].label, "EG1");  // sorted by label

    const lv::GroupView& eg1 = groupNamed(view, "EG1");
    EXPECT_EQ(eg1.processId, getpid());
    EXPECT_EQ(eg1.process, lv::ProcessState::kAlive);
    EXPECT_EQ(groupNamed(view, "EG2").process, lv::ProcessState::kGone);

    const lv::NodeView& in = nodeNamed(flowNamed(eg1, "FlowA"), "In");
    EXPECT_EQ(in.type, 1);
    EXPECT_FALSE(in.deleted);
    ASSERT_TRUE(in.hasStatistics);
    EXPECT_EQ(in.stats.count, 3);
    EXPECT_EQ(in.stats.sumSize, 600);
    EXPECT_EQ(in.stats.minSize, 100);
    EXPECT_EQ(in.stats.maxSize, 300);
    EXPECT_EQ(in.stats.sumElapsedMs, 9);  // 2 + 4 + 3
    EXPECT_EQ(in.stats.minQueuedMs, 500);
    EXPECT_EQ(in.stats.maxQueuedMs, 1500);
    EXPECT_NE(in.stats.firstCollection, 0u);
    EXPECT_EQ(in.recordId.size(), 96u);

    const lv::NodeView& gone = nodeNamed(flowNamed(eg1, "FlowB"), "Gone");
    EXPECT_TRUE(gone.deleted);
    EXPECT_EQ(gone.stats.count, 4);
    EXPECT_EQ(nodeNamed(flowNamed(eg1, "FlowA"), "Odd").type, 7);
    const lv::NodeView& idle = nodeNamed(flowNamed(groupNamed(view, "EG2"), "FlowC"), "Idle");
    EXPECT_TRUE(idle.hasStatistics);
    EXPECT_TRUE(idle.stats.empty());
}

TEST(ViewerDecode, SumsPerNodeTypeSlotAsTheLibraryMakesThem) {
    StandardSegment segment;
    const lv::BrokerView view = segment.decode();
    const lv::GroupView& eg1 = groupNamed(view, "EG1");
    const lv::FlowView& flowA = flowNamed(eg1, "FlowA");

    EXPECT_EQ(flowA.sums[lv::kInputSlot].count, 3);
    EXPECT_EQ(flowA.sums[lv::kOutputSlot].count, 2);
    EXPECT_EQ(flowA.sums[lv::kOutputSlot].sumSize, 4000);
    EXPECT_EQ(flowA.sums[lv::kOutputSlot].minElapsedMs, 10);
    EXPECT_EQ(flowA.sums[lv::kOutputSlot].maxElapsedMs, 20);
    // The type-7 node is in no slot; the other slot holds only Compute.
    EXPECT_EQ(flowA.sums[lv::kOtherSlot].count, 1);
    EXPECT_EQ(flowA.sums[lv::kOtherSlot].sumSize, 50);
    // The deleted node still counts, in the output slot of its ancestors.
    EXPECT_EQ(eg1.sums[lv::kOutputSlot].count, 6);
    EXPECT_EQ(eg1.sums[lv::kOutputSlot].minSize, 10);
    EXPECT_EQ(eg1.sums[lv::kOutputSlot].maxElapsedMs, 1000);
    EXPECT_EQ(view.sums[lv::kOutputSlot].count, 6);
    EXPECT_EQ(view.sums[lv::kInputSlot].count, 3);  // Idle adds nothing
    EXPECT_EQ(view.sums[lv::kOtherSlot].count, 1);
    EXPECT_TRUE(groupNamed(view, "EG2").sums[lv::kInputSlot].empty());
}

TEST(ViewerDecode, CorruptRecordIsReportedAtItsOffsetAndTheRestShown) {
    StandardSegment segment;
    // Break the "RCRD" eyecatcher of the deleted node's record in FlowB.
    segment.builder.image[segment.goneOffset] = 'X';
    const lv::BrokerView view = segment.decode();

    ASSERT_TRUE(view.error.empty());
    ASSERT_EQ(view.problems.size(), 1u);
    EXPECT_EQ(view.problems[0].offset, segment.goneOffset);
    EXPECT_NE(view.problems[0].message.find("corrupt area zovcstar"), std::string::npos);
    // What lies before it is shown whole; the events areas too.
    const lv::FlowView& flowA = flowNamed(groupNamed(view, "EG1"), "FlowA");
    EXPECT_EQ(flowA.nodes.size(), 4u);
    EXPECT_EQ(nodeNamed(flowA, "Out").stats.count, 2);
    EXPECT_EQ(view.events.size(), 3u);
}

TEST(ViewerDecode, UnstableStatisticsRecordIsMarkedAndReported) {
    StandardSegment segment;
    lv::SegmentImage image = segment.builder.snapshot();
    image.unstableOffsets.push_back(segment.statisticsOffsets["Out"]);
    const lv::BrokerView view = lv::decodeBroker(kUuid, image, {});

    EXPECT_EQ(view.unstableRecords, 1);
    ASSERT_EQ(view.problems.size(), 1u);
    EXPECT_EQ(view.problems[0].offset, segment.statisticsOffsets["Out"]);
    EXPECT_NE(view.problems[0].message.find("unstable"), std::string::npos);
    const lv::FlowView& flowA = flowNamed(groupNamed(view, "EG1"), "FlowA");
    EXPECT_TRUE(nodeNamed(flowA, "Out").unstable);
    EXPECT_FALSE(nodeNamed(flowA, "In").unstable);
}

TEST(ViewerDecode, StatisticsRecordsAreLocatedForTheStableReRead) {
    StandardSegment segment;
    lv::SegmentImage image = segment.builder.snapshot();
    std::set<size_t> located;
    for (const lv::Span& span : lv::locateStatistics(image)) {
        EXPECT_EQ(span.length, static_cast<size_t>(ZOV_STIR::kSize));
        located.insert(span.offset);
    }
    std::set<size_t> expected;
    for (const auto& [label, offset] : segment.statisticsOffsets)
        expected.insert(offset);
    EXPECT_EQ(located, expected);
}

TEST(ViewerDecode, EventsJoinedWithTemplatesAndNewOnesShownOnce) {
    StandardSegment segment;
    const lv::BrokerView all = segment.decode();
    ASSERT_TRUE(all.eventsShown);
    ASSERT_EQ(all.events.size(), 3u);
    const lv::EventView& first = all.events[0];
    EXPECT_TRUE(first.hasTemplate);
    EXPECT_EQ(first.nodeLabel, "In");
    EXPECT_EQ(first.groupLabel, "EG1");
    EXPECT_EQ(first.text, "Message received");
    EXPECT_EQ(first.putApplName, "payroll");
    EXPECT_EQ(first.putDate, "20240501");
    EXPECT_EQ(first.messageId.substr(0, 4), "AB00");
    EXPECT_EQ(first.threadId, 11);
    const auto orphan = std::find_if(all.events.begin(), all.events.end(),
                                     [](const lv::EventView& e) { return e.threadId == 13; });
    ASSERT_NE(orphan, all.events.end());
    EXPECT_FALSE(orphan->hasTemplate);

    // A watch shows each event once: nothing new, then only the one added.
    std::unordered_set<std::string> seen;
    lv::DecodeOptions options;
    options.events = true;
    options.seenEvents = &seen;
    lv::SegmentImage image = segment.builder.snapshot();
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 3u);
    EXPECT_EQ(lv::decodeBroker(kUuid, image, options).events.size(), 0u);
    ZOV_EVTR* templ = segment.storeTemplate("Compute", 3, "Late");
    segment.event(*templ, "late", 14);
    image = segment.builder.snapshot();
    const lv::BrokerView later = lv::decodeBroker(kUuid, image, options);
    ASSERT_EQ(later.events.size(), 1u);
    EXPECT_EQ(later.events[0].text, "Late");
}

TEST(ViewerDecode, RandomDamageIsReportedNeverReadBeyondTheImage) {
    StandardSegment segment;
    const std::vector<unsigned char> original = segment.builder.image;
    uint64_t state = 0x9E3779B97F4A7C15u;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int damaged = 0;
    for (int round = 0; round < 400; ++round) {
        lv::SegmentImage image;
        image.bytes = original;
        // Damage where it hurts most: headers and the first records of each area.
        for (int flips = 1 + next() % 6; flips > 0; --flips) {
            const size_t area = next() % 3;
            const size_t offset = segment.builder.areaOffset(area) * (next() % 4 != 0) +
                                  next() % (next() % 2 ? 64 : 1200);
            image.bytes[offset] = static_cast<unsigned char>(next());
        }
        if (round % 10 == 0)
            image.bytes.resize(next() % original.size());  // a short copy
        lv::DecodeOptions options;
        options.events = true;
        const lv::BrokerView view = lv::decodeBroker(kUuid, image, options);
        for (const lv::Problem& problem : view.problems) {
            EXPECT_LT(problem.offset, image.bytes.size());
        }
        for (const lv::EventView& event : view.events) {
            EXPECT_LE(event.offset + ZOV_EVDR::kSize, image.bytes.size());
        }
        damaged += !view.error.empty() || !view.problems.empty();
    }
    EXPECT_GT(damaged, 100);
}

// ---- stable reads and rates ------------------------------------------------

TEST(ViewerCapture, ReadStableNeedsTwoEqualSuccessiveCopies) {
    // The first copy is torn; the next two agree.
    std::vector<unsigned char> copy(8, 'A');
    int calls = 0;
    const auto settling = [&](unsigned char* out) { std::memset(out, ++calls < 2 ? 'B' : 'C', 8); };
    EXPECT_TRUE(lv::readStable(settling, copy.data(), copy.size(), 100));
    EXPECT_EQ(copy, std::vector<unsigned char>(8, 'C'));
    EXPECT_EQ(calls, 3);

    // A record rewritten at every look is given up after the retries.
    calls = 0;
    const auto moving = [&](unsigned char* out) { std::memset(out, ++calls, 8); };
    EXPECT_FALSE(lv::readStable(moving, copy.data(), copy.size(), 5));
    EXPECT_EQ(calls, 5);
}

TEST(ViewerModel, RatesBetweenRefreshesSurviveAReset) {
    StandardSegment segment;
    lv::BrokerView before = segment.decode(false);
    lv::BrokerView now = before;
    before.monotonicAt = 10;
    now.monotonicAt = 12;
    lv::GroupView& eg1 = now.groups[0];
    lv::FlowView& flowA = eg1.flows[0];  // sorted: FlowA
    for (lv::NodeView& node : flowA.nodes)
        node.stats.count += node.label == "In" ? 20 : 0;
    flowA.sums[lv::kOutputSlot].count = 0;  // reset in between
    lv::applyRates(now, before);

    EXPECT_DOUBLE_EQ(*nodeNamed(flowA, "In").rate, 10.0);
    EXPECT_DOUBLE_EQ(*nodeNamed(flowA, "Out").rate, 0.0);
    EXPECT_DOUBLE_EQ(*flowA.rates[lv::kOutputSlot], 0.0);
    EXPECT_DOUBLE_EQ(*flowA.rates[lv::kInputSlot], 0.0);
    flowA.sums[lv::kOutputSlot].count = 1;  // was 2: reset, then 1 message
    lv::applyRates(now, before);
    EXPECT_DOUBLE_EQ(*flowA.rates[lv::kOutputSlot], 0.5);
}

// ---- outputs ----------------------------------------------------------------

TEST(ViewerOutput, JsonIsOneDocumentPerBrokerWithTheWholeTree) {
    StandardSegment segment;
    std::ostringstream out;
    lv::writeJson(out, segment.decode(), false);
    const std::string text = out.str();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1);

    const nlohmann::json doc = nlohmann::json::parse(text);
    EXPECT_EQ(doc["broker"]["uuid"], kUuid);
    EXPECT_EQ(doc["broker"]["label"], "BRK1");
    EXPECT_TRUE(doc["error"].is_null());
    EXPECT_EQ(doc["sums"]["output"]["messages"], 6);
    const nlohmann::json& eg1 = doc["execution_groups"][0];
    EXPECT_EQ(eg1["process"], "alive");
    const nlohmann::json& in = eg1["message_flows"][0]["nodes"][1];  // Compute, In, Odd, Out
    EXPECT_EQ(in["label"], "In");
    EXPECT_EQ(in["type"], "input");
    EXPECT_EQ(in["statistics"]["messages"], 3);
    EXPECT_EQ(in["statistics"]["size_bytes"]["sum"], 600);
    EXPECT_DOUBLE_EQ(in["statistics"]["size_bytes"]["avg"].get<double>(), 200.0);
    EXPECT_EQ(in["statistics"]["queued_ms"]["max"], 1500);
    EXPECT_TRUE(in["statistics"]["rate_per_second"].is_null());
    EXPECT_TRUE(in["statistics"]["first_collection"].get<std::string>().ends_with("Z"));
    const nlohmann::json& idle =
        doc["execution_groups"][1]["message_flows"][0]["nodes"][0]["statistics"];
    EXPECT_EQ(idle["messages"], 0);
    EXPECT_TRUE(idle["size_bytes"]["min"].is_null());
    EXPECT_TRUE(idle["first_collection"].is_null());
    EXPECT_EQ(doc["events"].size(), 3u);
    EXPECT_TRUE(doc["events"][2]["template"].is_null());

    std::ostringstream withoutEvents;
    lv::writeJson(withoutEvents, segment.decode(false), true);
    EXPECT_FALSE(nlohmann::json::parse(withoutEvents.str()).contains("events"));
}

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string field; in >> field;)
        result.push_back(field);
    return result;
}

}  // namespace

// Values in base units, labels escaped and valid UTF-8 (promtool and a real
// Prometheus server check the syntax in exporter_test.sh).
TEST(ViewerOutput, PrometheusCountersGaugesBaseUnitsAndLabels) {
    StandardSegment segment;
    lv::BrokerView view = segment.decode(false);
    view.label = "BRK \"1\" \\\xff";  // escaped, and the stray byte replaced
    std::ostringstream prometheus, openMetrics, none;
    lv::writePrometheus(prometheus, {view}, false);
    lv::writePrometheus(openMetrics, {view}, true);
    lv::writePrometheus(none, {}, false);

    const std::string text = prometheus.str();
    const std::string inLabels =
        R"({broker="BRK \"1\" \\)"
        "\xEF\xBF\xBD"
        R"(",broker_uuid=")" +
        std::string(kUuid) +
        R"(",execution_group="EG1",flow="FlowA",node="In",node_uuid="In-uuid",node_type="input"})";
    EXPECT_NE(text.find("lumena_node_messages_total" + inLabels + " 3\n"), std::string::npos);
    EXPECT_NE(text.find("lumena_node_elapsed_seconds_total" + inLabels + " 0.009\n"),
              std::string::npos);
    EXPECT_NE(text.find("lumena_node_queued_max_seconds" + inLabels + " 1.5\n"), std::string::npos);
    EXPECT_NE(text.find("execution_group=\"EG1\",node_type=\"output\"} 6\n"), std::string::npos);
    // A node without messages has counters but no min, max or times.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("node=\"Idle\"") == std::string::npos)
            continue;
        EXPECT_TRUE(line.find("_total{") != std::string::npos ||
                    line.rfind("lumena_node_deleted{", 0) == 0 ||
                    line.rfind("lumena_node_statistics_unstable{", 0) == 0)
            << line;
    }
    EXPECT_EQ(text.find("_created"), std::string::npos);
    EXPECT_NE(none.str().find("\nlumena_brokers 0\n"), std::string::npos);

    // OpenMetrics: counters started at the broker's last reset.
    const std::string om = openMetrics.str();
    ASSERT_NE(view.resetTime, 0u);
    EXPECT_NE(om.find("lumena_node_messages_created" + inLabels + " " +
                      std::to_string(lv::unixSeconds(view.resetTime)) + "\n"),
              std::string::npos);
    EXPECT_NE(om.find("# UNIT lumena_node_elapsed_seconds seconds\n"), std::string::npos);
}

TEST(ViewerOutput, TextShowsReadableUnitsMarksAndSums) {
    EXPECT_EQ(lv::formatDuration(1.5L), "1.50 ms");
    EXPECT_EQ(lv::formatDuration(850), "850 ms");
    EXPECT_EQ(lv::formatDuration(1250), "1.250 s");
    EXPECT_EQ(lv::formatDuration(125000), "2 min 05 s");
    EXPECT_EQ(lv::formatDuration(3725000), "1 h 02 min");
    EXPECT_EQ(lv::formatBytes(512), "512 B");
    EXPECT_EQ(lv::formatBytes(1536), "1.5 KiB");
    EXPECT_EQ(lv::formatLocalTime(0), "never");
    EXPECT_EQ(lv::formatIsoTime(kZOVSeconds1901 + 86400), "1970-01-02T00:00:00Z");

    StandardSegment segment;
    std::ostringstream out;
    lv::writeText(out, segment.decode(), {});
    const std::string text = out.str();
    EXPECT_NE(text.find("Broker \"BRK1\""), std::string::npos);
    EXPECT_NE(text.find("Node \"Gone\" [output] DELETED"), std::string::npos);
    EXPECT_NE(text.find("Node \"Odd\" [unknown]"), std::string::npos);
    EXPECT_NE(text.find("process " + std::to_string(getpid()) + " (alive)"), std::string::npos);
    EXPECT_NE(text.find("Sums of flow \"FlowA\":"), std::string::npos);
    EXPECT_NE(text.find("messages 3   size avg 200 B  min 100 B  max 300 B"), std::string::npos);
    EXPECT_NE(text.find("queued avg 1.000 s"), std::string::npos);
    EXPECT_NE(text.find("\"In\" [input]  Message received"), std::string::npos);

    std::ostringstream hidden;
    lv::TextOptions options;
    options.showDeleted = false;
    lv::writeText(hidden, segment.decode(), options);
    EXPECT_EQ(hidden.str().find("\"Gone\""), std::string::npos);
}

// ---- real segments inside the sandbox ----------------------------------------

namespace {

// A segment made by the test under a broker's key file, holding given bytes.
class RawSegment {
  public:
    RawSegment(const std::string& uuid, const std::vector<unsigned char>& bytes)
        : path(lv::keyFilePath(uuid)) {
        close(open(path.c_str(), O_CREAT | O_WRONLY, 0660));
        id = shmget(ftok(path.c_str(), 1), bytes.size(), IPC_CREAT | IPC_EXCL | 0660);
        EXPECT_NE(id, -1) << std::strerror(errno);
        address = static_cast<unsigned char*>(shmat(id, nullptr, 0));
        std::memcpy(address, bytes.data(), bytes.size());
    }
    ~RawSegment() {
        shmdt(address);
        shmctl(id, IPC_RMID, nullptr);
        unlink(path.c_str());
    }
    unsigned char* bytes() { return address; }

  private:
    std::string path;
    int id = -1;
    unsigned char* address = nullptr;
};

struct RunResult {
    int code;
    std::string out;
    std::string err;
};

RunResult runInProcess(std::vector<const char*> args) {
    args.insert(args.begin(), "lumenaview");
    std::ostringstream out, err;
    const int code = lv::runLumenaview(static_cast<int>(args.size()), args.data(), out, err);
    return {code, out.str(), err.str()};
}

// Runs the program itself, as a person would; standard error is dropped.
RunResult runProgram(const std::string& arguments) {
    const std::string command =
        std::string(ZOV_BINARY_DIR) + "/src/tools/lumenaview " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ""};
}

// Every System V IPC object of the namespace. Attaching and detaching moves a
// segment's last-attach process and times, so those columns are left out;
// the rest, attachment count included, must not change.
std::string ipcObjects() {
    std::string listing;
    for (const char* kind : {"shm", "sem", "msg"}) {
        std::ifstream file(std::string("/proc/sysvipc/") + kind);
        std::string line;
        std::getline(file, line);  // column titles
        while (std::getline(file, line)) {
            std::vector<std::string> f = fields(line);
            if (std::string(kind) == "shm" && f.size() >= 14) {
                f = {f[0], f[1], f[2], f[3], f[4], f[6], f[7], f[8], f[9], f[10], f[13]};
            }
            listing += kind;
            for (const std::string& field : f)
                listing += ' ' + field;
            listing += '\n';
        }
    }
    return listing;
}

std::set<std::string> tmpFiles() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The whole segment behind a key file, read through a read-only attachment.
std::vector<unsigned char> segmentBytes(const std::string& uuid) {
    const int id = shmget(ftok(lv::keyFilePath(uuid).c_str(), 1), 0, 0);
    struct shmid_ds status {};
    shmctl(id, IPC_STAT, &status);
    const auto* address = static_cast<const unsigned char*>(shmat(id, nullptr, SHM_RDONLY));
    std::vector<unsigned char> bytes(address, address + status.shm_segsz);
    shmdt(address);
    return bytes;
}

}  // namespace

TEST(ViewerCli, NoBrokerOnTheMachineSaysSoAndExitsNonZero) {
    const RunResult none = runInProcess({});
    EXPECT_EQ(none.code, lv::kExitNoBroker);
    EXPECT_NE(none.err.find("no broker found"), std::string::npos);
    EXPECT_EQ(runProgram("").code, lv::kExitNoBroker);

    // A key file left behind by a broker that is gone.
    const std::string path = lv::keyFilePath(kUuid);
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0660));
    const RunResult stale = runInProcess({});
    unlink(path.c_str());
    EXPECT_EQ(stale.code, lv::kExitNoBroker);
    EXPECT_NE(stale.err.find("not running"), std::string::npos);

    EXPECT_EQ(runInProcess({"--format", "xml"}).code, lv::kExitUsage);
    const RunResult help = runInProcess({"--help"});
    EXPECT_EQ(help.code, lv::kExitOk);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

TEST(ViewerCli, ForeignAndTruncatedSegmentsGiveClearErrorsNeverACrash) {
    std::vector<unsigned char> foreignBytes(4096, 0x5A);
    RawSegment foreign("f0f0f0f0-0000-4000-8000-000000000001", foreignBytes);
    SegmentBuilder builder;
    builder.carve(lv::kStatsEyecatcher);
    // A segment smaller than its header says: only the first 200 bytes.
    RawSegment truncated(
        "f0f0f0f0-0000-4000-8000-000000000002",
        std::vector<unsigned char>(builder.image.begin(), builder.image.begin() + 200));

    const RunResult both = runInProcess({});
    EXPECT_EQ(both.code, lv::kExitUnreadable);
    EXPECT_NE(both.err.find("foreign segment"), std::string::npos);
    EXPECT_NE(both.err.find("truncated segment"), std::string::npos);
    const RunResult json = runInProcess({"-f", "json"});
    EXPECT_NE(json.out.find("\"error\":\"foreign segment"), std::string::npos);

    // Beside a readable broker, the run shows it and reports the others.
    StandardSegment good;
    RawSegment readable(kUuid, good.builder.image);
    const RunResult mixed = runInProcess({"-f", "prometheus"});
    EXPECT_EQ(mixed.code, lv::kExitPartial);
    EXPECT_NE(mixed.out.find("lumena_broker_up{broker=\"BRK1\""), std::string::npos);
    EXPECT_NE(mixed.out.find("broker_uuid=\"f0f0f0f0-0000-4000-8000-000000000001\"} 0"),
              std::string::npos);
}

TEST(ViewerCli, WatchAddsRatesBetweenRefreshes) {
    StandardSegment segment;
    RawSegment live(kUuid, segment.builder.image);
    // Halfway between the two refreshes, 50 more messages reach "In".
    std::thread updater([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        unsigned char* record = live.bytes() + segment.statisticsOffsets["In"];
        ZOV_STIR statistics(0);
        statistics.get(record);
        for (int i = 0; i < 50; ++i)
            statistics.updateStatistics(0, 0.001, 10);
        statistics.put(record);
    });
    const RunResult run = runInProcess({"-f", "json", "-w", "1", "-n", "2"});
    updater.join();
    EXPECT_EQ(run.code, lv::kExitOk);

    std::istringstream lines(run.out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    const auto in = [](const std::string& line) {
        return nlohmann::json::parse(
            line)["execution_groups"][0]["message_flows"][0]["nodes"][1]["statistics"];
    };
    EXPECT_TRUE(in(first)["rate_per_second"].is_null());
    EXPECT_EQ(in(second)["messages"], 53);
    const double rate = in(second)["rate_per_second"].get<double>();
    if (in(first)["messages"] == 3) {
        EXPECT_GT(rate, 20.0);  // 50 messages over a little more than a second
        EXPECT_LE(rate, 50.0);
    } else {
        EXPECT_EQ(rate, 0.0);  // a stalled machine let the update come first
    }
}

TEST(ViewerReadOnly, ViewerLeavesALiveBrokersSegmentAndIpcObjectsAsTheyWere) {
    // A broker as the monitoring node builds it: segment, areas, mutexes.
    const ZOV_Resource_ID brokerId = identity("BRK_LIB", kUuid);
    ZOV_Broker broker(&brokerId);
    ASSERT_EQ(broker.status, 0);
    broker.lockStatsArea();
    broker.readStatsArea(1);
    const ZOV_Resource_ID egId = identity("EG_LIB", "eg-lib-uuid");
    const ZOV_Resource_ID flowId = identity("FLOW_LIB", "flow-lib-uuid");
    const ZOV_Resource_ID inId = identity("IN_LIB", "in-lib-uuid");
    const ZOV_Resource_ID outId = identity("OUT_LIB", "out-lib-uuid");
    ZOV_Execution_Group* group = broker.insertExecutionGroup(&egId);
    ASSERT_NE(group, nullptr);
    group->setProcessId(getpid());
    ZOV_Message_Flow* flow = group->insertMessageFlow(&flowId);
    ZOV_Node* in = flow->insertNode(&inId);
    ZOV_Node* out = flow->insertNode(&outId);
    in->setNodeType(ZOV_NT_INPUT);
    out->setNodeType(ZOV_NT_OUTPUT);
    broker.resetStatistics();
    broker.unlockStatsArea();
    for (int i = 1; i <= 5; ++i)
        broker.updateStatistics(in->getNodeStatistics(), 0.25, 0.003, 100 * i);
    for (int i = 0; i < 3; ++i)
        broker.updateStatistics(out->getNodeStatistics(), 0, 0.001, 50);
    const ZOV_String eg("EG_LIB"), fl("FLOW_LIB"), nl("IN_LIB"), message("Message received");
    ZOV_EVTR templ(&eg, &fl, &nl, ZOV_NT_INPUT, &message);
    const ZOV_EVTR* stored = broker.setEventTemplate(&templ);
    ASSERT_NE(stored, nullptr);
    BrkMqmd md{};
    std::memcpy(md.putApplName, "payroll", 7);
    ZOV_EVDR event(&md, 42);
    event.setParent(stored->getRecordId());
    ASSERT_EQ(broker.postEvent(&event), ZOV_RC_OK);

    const std::vector<unsigned char> bytes = segmentBytes(kUuid);
    const std::string objects = ipcObjects();
    const std::set<std::string> files = tmpFiles();
    for (const char* arguments :
         {"", "-e", "-f json -e", "-f prometheus", "-f openmetrics", "-e -w 0.2 -n 3", "--list"}) {
        const RunResult run = runProgram(arguments);
        EXPECT_EQ(run.code, lv::kExitOk) << arguments;
        EXPECT_NE(run.out.find(arguments == std::string("--list") ? kUuid : "BRK_LIB"),
                  std::string::npos)
            << arguments;
        EXPECT_EQ(segmentBytes(kUuid), bytes) << arguments;
        EXPECT_EQ(ipcObjects(), objects) << arguments;
        EXPECT_EQ(tmpFiles(), files) << arguments;
    }

    // The figures are the library's own sums.
    const nlohmann::json doc = nlohmann::json::parse(runProgram("-f json -e").out);
    broker.initStatistics();
    ZOV_STIR input(0), output(0), other(0);
    broker.getStatistics(&input, &output, &other);
    EXPECT_EQ(doc["sums"]["input"]["messages"], static_cast<int>(input.getMessageCount()));
    EXPECT_EQ(doc["sums"]["input"]["size_bytes"]["sum"], 1500);
    EXPECT_EQ(doc["sums"]["output"]["messages"], static_cast<int>(output.getMessageCount()));
    EXPECT_EQ(doc["reset_time"], lv::formatIsoTime(broker.lastResetTime()));
    ASSERT_EQ(doc["events"].size(), 1u);
    EXPECT_EQ(doc["events"][0]["template"]["text"], "Message received");
    EXPECT_EQ(doc["events"][0]["thread_id"], 42);
}
