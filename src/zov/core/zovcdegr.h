// Reporting of degraded monitoring: conditions under which the node goes on
// passing messages but measures less than it should, or serialises them
// otherwise. Never silent, never a flood: the first occurrence of each
// condition and detail is logged with its detail; later ones are counted per
// condition and summarised at most once a minute per process, with the next
// occurrence after the minute has passed.
//
// The details logged are remembered in a fixed table; when it is full, a new
// detail takes the place of one remembered before (that one may be logged
// again when it recurs). The bound: at most kFirstReportsPerMinute first
// reports and one summary per condition a minute per process. A first report
// beyond that budget is counted and logged at its next occurrence once the
// budget allows.
//
// The per-occurrence cost is a hash of the detail and a table probe; a
// repeat adds one coarse clock read. Nothing is allocated and no system call
// is made unless a line is written.
#pragma once

enum class ZOV_Degraded {
    kAreaFull,          // a shared area has no room for a record
    kUnreadableRecord,  // a record in a shared area cannot be read
    kIpcLimit,          // a semaphore set, queue or segment could not be made: system limit
    kRefusal,           // an object of another user, or a link, was refused
    kLockFallback,      // a record's mutex cannot be had: its updates take the area lock
    kCount
};

// Logs the first occurrence of (condition, detail) under `function`:
// message 4 for a refusal (`detail` names the object, `reason` says what was
// found), message 5 otherwise; counts the rest (message 6).
void ZOV_ReportDegraded(ZOV_Degraded condition, const char* function, const char* detail,
                        const char* reason = nullptr);

// First reports written at most per minute and process.
constexpr int kFirstReportsPerMinute = 256;

// For tests: forget what was reported.
void ZOV_ResetDegradedReports();
