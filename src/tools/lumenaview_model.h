// What the viewer shows of one broker: a plain, library-independent picture of
// a segment snapshot. The decoder fills it from the library's record classes
// and resource tree; the text, JSON and Prometheus writers read only this.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "zov/core/zovcrcrd.h"

namespace lumenaview {

// The statistics of one node, or a sum of them, with the 128-bit sums widened
// to long double (exact for integers up to 2^64).
struct Stats {
    long double count = 0;
    long double sumSize = 0;       // bytes
    long double sumElapsedMs = 0;  // milliseconds of processor time
    long double sumQueuedMs = 0;   // milliseconds spent on the queue
    int32_t maxSize = 0;
    int32_t minSize = 0;
    int32_t maxElapsedMs = 0;
    int32_t minElapsedMs = 0;
    int32_t maxQueuedMs = 0;
    int32_t minQueuedMs = 0;
    uint32_t firstCollection = 0;  // seconds since 1901, 0 = none since the reset
    uint32_t lastCollection = 0;

    bool empty() const { return firstCollection == 0; }
    // A node that does not collect queued time records 0 ms for every
    // message, so figures that are all 0 after messages mean "not
    // collected" (a queue that delivers every message in under a millisecond
    // looks the same, and is then shown the same way).
    bool queuedCollected() const {
        return !empty() && (sumQueuedMs != 0 || maxQueuedMs != 0 || minQueuedMs != 0);
    }
    bool queuedAbsent() const { return !empty() && !queuedCollected(); }
};

// The three node-type slots into which every resource's sums fall.
enum Slot { kInputSlot = 0, kOutputSlot = 1, kOtherSlot = 2 };
inline constexpr int kSlots = 3;
using SlotStats = std::array<Stats, kSlots>;
// Messages per second between two refreshes of a watch; empty on the first.
using SlotRates = std::array<std::optional<double>, kSlots>;

const char* slotName(int slot);      // "input", "output", "other"
const char* nodeTypeName(int type);  // "input", "output", "other", "unknown"

struct NodeView {
    std::string label;
    std::string uuid;
    // The node record's ID as stored; shown as 96 hexadecimal digits
    // (toHex), which a scrape never needs.
    std::array<unsigned char, ZOV_Record_ID::kSize> recordId{};
    int type = 3;
    bool deleted = false;
    bool hasStatistics = false;
    // The statistics record changed under every re-read: figures may be torn.
    bool unstable = false;
    Stats stats;
    std::optional<double> rate;
};

struct FlowView {
    std::string label;
    std::string uuid;
    SlotStats sums;
    SlotRates rates;
    std::vector<NodeView> nodes;
};

enum class ProcessState { kUnknown, kAlive, kGone };
const char* processStateName(ProcessState state);  // "unknown", "alive", "gone"

struct GroupView {
    std::string label;
    std::string uuid;
    int processId = 0;
    ProcessState process = ProcessState::kUnknown;
    SlotStats sums;
    SlotRates rates;
    std::vector<FlowView> flows;
};

// One area of the segment as its header describes it.
struct AreaView {
    std::string eyecatcher;
    size_t offset = 0;  // from the segment start
    uint32_t size = 0;
    int32_t nextOffset = 0;
    int32_t lastOffset = 0;
    unixtime lastUpdate{};
};

// Something wrong in the segment, located by its offset from the segment start.
struct Problem {
    size_t offset = 0;
    std::string message;
};

struct EventView {
    size_t offset = 0;  // of the event data record in the segment
    std::string recordId;
    unixtime created{};
    uint32_t eventTime = 0;  // seconds since 1901
    int32_t threadId = 0;
    std::string messageId;      // 48 hexadecimal digits
    std::string correlationId;  // 48 hexadecimal digits
    int32_t putApplType = 0;
    std::string putApplName;  // trailing blanks and zero bytes removed
    std::string putDate;      // YYYYMMDD as the descriptor holds it
    std::string putTime;      // HHMMSSTH
    bool hasTemplate = false;
    std::string groupLabel;
    std::string flowLabel;
    std::string nodeLabel;
    int nodeType = 3;
    std::string text;
};

struct BrokerView {
    std::string uuid;
    std::string label;
    std::string keyFile;
    // Set when the segment could not be read at all (foreign, truncated, or
    // not attachable); nothing else is then known.
    std::string error;
    // Set when the key file or its segment was not trusted (the reason's
    // name, e.g. "key_file_owner"): nothing was read, `error` says why.
    std::string refused;
    bool found = false;      // a broker information record was in the area
    uint32_t resetTime = 0;  // seconds since 1901, 0 = never
    uint32_t segmentSize = 0;
    std::time_t takenAt = 0;  // wall clock of the snapshot
    double monotonicAt = 0;   // steady clock of the snapshot, seconds, for rates
    std::vector<AreaView> areas;
    std::vector<Problem> problems;
    int unstableRecords = 0;
    int detachedRecords = 0;  // records of the area that belong to no resource shown
    SlotStats sums;
    SlotRates rates;
    // The filter that left parts of the tree out ("--node 'In*'"); the sums
    // are then those of what is shown. Empty when unfiltered.
    std::string filter;
    std::vector<GroupView> groups;
    bool eventsShown = false;
    std::vector<EventView> events;
};

// Fills the rates of `now` from the counts of `previous` (the same broker one
// refresh earlier). A count that went down was reset in between: the rate is
// then the new count over the interval.
void applyRates(BrokerView& now, const BrokerView& previous);

}  // namespace lumenaview
