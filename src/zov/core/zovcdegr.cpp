#include "zov/core/zovcdegr.h"

#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcdegr";

namespace {

constexpr int kConditions = static_cast<int>(ZOV_Degraded::kCount);
constexpr long kSummarySeconds = 60;
const char* const kConditionNames[kConditions] = {
    "area full",
    "unreadable record",
    "IPC limit reached",
    "object refused",
    "lock unavailable, stand-in lock used",
};

// Details already logged, by hash of condition and detail; 0 is free. When
// the table is full a new detail replaces the one in its first slot.
constexpr int kSeenSlots = 128;
std::atomic<uint64_t> seen[kSeenSlots];

// First reports written in the current minute of the monotonic clock.
std::atomic<long> budgetMinute{-1};
std::atomic<int> budgetUsed{0};

struct ConditionState {
    std::atomic<unsigned long> repeats{0};
    std::atomic<long> lastSummary{0};  // coarse monotonic seconds
};
ConditionState conditions[kConditions];

long coarseSeconds() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long>(now.tv_sec);
}

uint64_t hashOf(int condition, const char* detail) {
    uint64_t hash = 1469598103934665603ull ^ static_cast<uint64_t>(condition);
    for (const char* c = detail; c != nullptr && *c != 0; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    return hash == 0 ? 1 : hash;
}

// True when the first-report budget of this minute allows one more line.
bool takeBudget() {
    const long minute = coarseSeconds() / 60;
    long current = budgetMinute.load(std::memory_order_relaxed);
    if (current != minute && budgetMinute.compare_exchange_strong(current, minute))
        budgetUsed.store(0, std::memory_order_relaxed);
    return budgetUsed.fetch_add(1, std::memory_order_relaxed) < kFirstReportsPerMinute;
}

// True when this call is the first to claim `hash`: it was not in the table
// and the budget allowed a line. A full table gives up the hash in the
// first slot; a detail over the budget stays unclaimed, to be logged later.
bool claimFirst(uint64_t hash) {
    const int start = static_cast<int>(hash % kSeenSlots);
    int freeSlot = -1;
    for (int probe = 0; probe < kSeenSlots; ++probe) {
        const int slot = (start + probe) % kSeenSlots;
        const uint64_t current = seen[slot].load(std::memory_order_acquire);
        if (current == hash)
            return false;
        if (current == 0) {
            freeSlot = slot;
            break;
        }
    }
    if (!takeBudget())
        return false;
    uint64_t expected = 0;
    if (freeSlot >= 0 && seen[freeSlot].compare_exchange_strong(expected, hash))
        return true;
    if (expected == hash)
        return false;  // another thread claimed it meanwhile
    return seen[freeSlot >= 0 ? freeSlot : start].exchange(hash) != hash;
}

}  // namespace

void ZOV_ReportDegraded(ZOV_Degraded condition, const char* function, const char* detail,
                        const char* reason) {
    const int index = static_cast<int>(condition);
    if (index < 0 || index >= kConditions)
        return;
    ConditionState& state = conditions[index];
    if (claimFirst(hashOf(index, detail))) {
        long expected = 0;
        state.lastSummary.compare_exchange_strong(expected, coarseSeconds());
        if (condition == ZOV_Degraded::kRefusal) {
            ZOV_LogMessage(_ZOV_UNIT_, __LINE__, function, ZOV_MSG_REFUSED, detail, function,
                           reason);
        } else {
            ZOV_String text = ZOV_Format_Message("%s: %s", kConditionNames[index],
                                                 detail != nullptr ? detail : "");
            ZOV_LogMessage(_ZOV_UNIT_, __LINE__, function, ZOV_MSG_DEGRADED, function,
                           text.getcValue());
        }
        return;
    }
    state.repeats.fetch_add(1, std::memory_order_relaxed);
    const long now = coarseSeconds();
    long last = state.lastSummary.load(std::memory_order_relaxed);
    if (now - last < kSummarySeconds ||
        !state.lastSummary.compare_exchange_strong(last, now, std::memory_order_relaxed))
        return;
    char count[24];
    std::snprintf(count, sizeof count, "%lu", state.repeats.exchange(0));
    ZOV_LogMessage(_ZOV_UNIT_, __LINE__, function, ZOV_MSG_DEGRADED_REPEATED,
                   kConditionNames[index], count);
}

void ZOV_ResetDegradedReports() {
    for (auto& slot : seen)
        slot.store(0);
    budgetMinute.store(-1);
    budgetUsed.store(0);
    for (auto& state : conditions) {
        state.repeats.store(0);
        state.lastSummary.store(0);
    }
}
