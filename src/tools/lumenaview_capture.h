// Read-only capture of a broker's segment: find the brokers by their key
// files, attach a segment read-only, copy it into private memory and detach.
//
// Nothing here creates, formats, writes or removes a segment, a key file or
// any other IPC object, and nothing takes a lock: shmget without IPC_CREAT,
// shmat with SHM_RDONLY, shmctl only for IPC_STAT, shmdt. The attachment lasts
// only as long as the copy, because a broker process that leaves while a
// viewer is attached cannot remove the segment (it counts the viewer).
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace lumenaview {

inline constexpr char kKeyFileDirectory[] = "/tmp/";
inline constexpr char kKeyFileSuffix[] = ".zovcshme";

// "/tmp/" + UUID + ".zovcshme".
std::string keyFilePath(const std::string& uuid);
// The UUIDs of every broker whose segment key file is present, sorted.
std::vector<std::string> findBrokers();

// A private copy of a segment, taken at one moment.
struct SegmentImage {
    std::vector<unsigned char> bytes;
    // Offsets of the records that never read the same twice (possibly torn).
    std::vector<size_t> unstableOffsets;
    std::time_t takenAt = 0;
    double monotonicAt = 0;  // steady clock, seconds
};

// A stretch of the segment that updaters rewrite in place while readers look.
struct Span {
    size_t offset = 0;
    size_t length = 0;
};
// Finds, in a first copy, the stretches to re-read until they are stable.
using SpanLocator = std::function<std::vector<Span>(SegmentImage&)>;

enum class CaptureStatus {
    kOk,
    kNoKeyFile,  // no such broker on this machine
    kNoSegment,  // a key file without a segment: the broker is not running
    kDenied,     // the segment exists but this user may not read it
    kFailed,     // any other system error
};

struct Capture {
    CaptureStatus status = CaptureStatus::kFailed;
    std::string message;  // what went wrong, for people
    SegmentImage image;
};

// Attaches the segment of `uuid` read-only, copies it, re-reads each span the
// locator names until two successive copies agree (at most `retries` times),
// and detaches.
Capture captureSegment(const std::string& uuid, int retries, const SpanLocator& locate);

// Copies a stretch with `copyOnce` until two successive copies agree, the
// first of them being the `length` bytes already in `copy`. Returns false,
// with the last copy in `copy`, when `retries` copies never agreed.
bool readStable(const std::function<void(unsigned char*)>& copyOnce, unsigned char* copy,
                size_t length, int retries);

}  // namespace lumenaview
