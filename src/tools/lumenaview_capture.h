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

// The bytes of a segment image, zero where nothing was copied. They live in an
// anonymous private mapping: a page never written costs neither memory nor
// time, so an image as large as a 48 MiB segment costs only what a capture
// copies into it (the used part of each area).
class ImageBytes {
  public:
    ImageBytes() = default;
    explicit ImageBytes(size_t size) { resize(size); }
    ImageBytes(const std::vector<unsigned char>& bytes);  // a copy, for images made by hand
    ImageBytes(ImageBytes&& other) noexcept;
    ImageBytes& operator=(ImageBytes&& other) noexcept;
    ImageBytes(const ImageBytes& other);
    ImageBytes& operator=(const ImageBytes& other);
    ~ImageBytes();

    // New bytes are zero; throws std::bad_alloc when the mapping fails.
    void resize(size_t size);
    unsigned char* data() { return start; }
    const unsigned char* data() const { return start; }
    size_t size() const { return length; }
    unsigned char& operator[](size_t i) { return start[i]; }
    unsigned char operator[](size_t i) const { return start[i]; }

  private:
    unsigned char* start = nullptr;
    size_t length = 0;
    size_t mapped = 0;
};

// A private copy of a segment, taken at one moment.
struct SegmentImage {
    ImageBytes bytes;
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

// What a capture copies besides the headers: the records of the statistics
// area only (all that the tree, its sums and the metrics need), or those of
// the events areas too.
enum class CaptureAreas { kStatistics, kAll };

// Attaches the segment of `uuid` read-only, copies what a reader looks at
// (the headers, and each area up to its high-water mark), re-reads each span
// the locator names until two successive copies agree (at most `retries`
// times), and detaches.
Capture captureSegment(const std::string& uuid, int retries, const SpanLocator& locate,
                       CaptureAreas areas = CaptureAreas::kAll);

// Reads `length` bytes of `live` until two successive reads agree, the first
// of them being the bytes already in `copy`; a read that agrees is a compare,
// so a stable stretch costs no copy. Returns false, with the last read in
// `copy`, when `retries` reads never agreed.
bool readStable(const unsigned char* live, unsigned char* copy, size_t length, int retries);

}  // namespace lumenaview
