// Read-only capture of a broker's segment: find the brokers by their key
// files, judge key file and segment by the library's trust rules, attach a
// trusted segment read-only, copy it into private memory and detach.
//
// Trust. A key file counts only as the library's rules allow (zovctrus.h):
// a regular file with one name, of root, this user or a user named with
// --broker-user; its key is computed from the opened file itself. Its
// segment only when owner and creator are that user or root, its mode is
// within 0660, and its size is the one its header declares and at most
// kZOVMaximumReadSegmentSize, which bounds the memory and time of a capture.
// One broker per segment: a second key file on the same segment is refused.
// What is refused is never attached; it is reported with its reason.
//
// Nothing here creates, formats, writes or removes a segment, a key file or
// any other IPC object, and nothing takes a lock: shmget without IPC_CREAT,
// shmat with SHM_RDONLY, shmctl only for IPC_STAT, shmdt. The attachment lasts
// only as long as the copy, because a broker process that leaves while a
// viewer is attached cannot remove the segment (it counts the viewer).
#pragma once

#include <dirent.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "zov/core/zovctrus.h"

namespace lumenaview {

inline constexpr char kKeyFileDirectory[] = "/tmp/";
inline constexpr char kKeyFileSuffix[] = ".zovcshme";

// "/tmp/" + UUID + ".zovcshme".
std::string keyFilePath(const std::string& uuid);
// The UUIDs of every name "/tmp/<UUID>.zovcshme", whatever it names (the
// capture judges it), sorted. Every other entry of the directory goes to
// `others` with the directory's descriptor: /tmp holds a key file per named
// mutex besides, and one listing of it serves a whole scrape.
using DirectoryVisitor = std::function<void(int directory, const struct dirent& entry)>;
std::vector<std::string> findBrokers(const DirectoryVisitor& others = {});

// Who may own the brokers' key files and segments: root and this process's
// user unless set otherwise. Set once per run, before anything is read.
void setBrokerUsers(const ZOV_Trusted_Users& users);
const ZOV_Trusted_Users& brokerUsers();

// The bytes of a segment image, zero where nothing was copied. They live in an
// anonymous private mapping: a page never written costs neither memory nor
// time, so an image as large as a 48 MiB segment costs only what a capture
// copies into it (the used part of each area, in huge pages where a copy
// covers them whole).
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
    kRefused,    // key file or segment not trusted: never attached
    kFailed,     // any other system error
};

struct Capture {
    CaptureStatus status = CaptureStatus::kFailed;
    std::string message;  // what went wrong, for people
    ZOV_Refusal refusal = ZOV_Refusal::kNone;
    SegmentImage image;
};

// A broker's key file and segment, opened and judged; nothing attached yet.
struct SegmentSource {
    std::string uuid;
    std::string keyFile;
    CaptureStatus status = CaptureStatus::kFailed;
    std::string message;
    ZOV_Refusal refusal = ZOV_Refusal::kNone;
    int id = -1;
    size_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;            // of the key file
    uid_t creator = 0;          // of the segment
    struct timespec made = {};  // the key file's status change time
};

// Judges the key file of `uuid` and finds its segment; never creates one.
SegmentSource openSegment(const std::string& uuid);
// Leaves one source per segment and per key file. Of several, the one kept
// is the key file of the segment's creator, then the oldest (a broker makes
// its key file before its segment), then the first name; the others are
// refused.
void refuseSharedSegments(std::vector<SegmentSource>& sources);

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
// The same for a source already opened; one that was not kOk gives its status.
Capture captureSegment(const SegmentSource& source, int retries, const SpanLocator& locate,
                       CaptureAreas areas = CaptureAreas::kAll);

// Reads `length` bytes of `live` until two successive reads agree, the first
// of them being the bytes already in `copy`; a read that agrees is a compare,
// so a stable stretch costs no copy. Returns false, with the last read in
// `copy`, when `retries` reads never agreed.
bool readStable(const unsigned char* live, unsigned char* copy, size_t length, int retries);

}  // namespace lumenaview
