// Reporting of degraded monitoring: conditions under which the node goes on
// passing messages but measures less than it should. Never silent, never a
// flood: the first occurrence of each condition and detail is logged; later
// ones are counted per condition and summarised at most once a minute per
// process, with the next occurrence after the minute has passed.
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
    kCount
};

// Logs the first occurrence of (condition, detail) under `function`:
// message 4 for a refusal (`detail` names the object, `reason` says what was
// found), message 5 otherwise; counts the rest (message 6).
void ZOV_ReportDegraded(ZOV_Degraded condition, const char* function, const char* detail,
                        const char* reason = nullptr);

// For tests: forget what was reported.
void ZOV_ResetDegradedReports();
