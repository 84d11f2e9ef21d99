#include "tools/lumenaview_capture.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include "tools/lumenaview_segment.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcmema.h"

namespace lumenaview {

namespace {

// The segment key is ftok(key file, 1), as the library makes it.
constexpr int kProjectId = 1;

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Detaches on every path out of a capture.
class ReadOnlyAttachment {
  public:
    explicit ReadOnlyAttachment(int id) : address(shmat(id, nullptr, SHM_RDONLY)) {}
    ~ReadOnlyAttachment() {
        if (attached())
            shmdt(address);
    }
    ReadOnlyAttachment(const ReadOnlyAttachment&) = delete;
    ReadOnlyAttachment& operator=(const ReadOnlyAttachment&) = delete;

    bool attached() const { return address != reinterpret_cast<void*>(-1); }
    const unsigned char* bytes() const { return static_cast<const unsigned char*>(address); }

  private:
    void* address;
};

CaptureStatus statusOf(int error) {
    switch (error) {
        case ENOENT:
            return CaptureStatus::kNoSegment;
        case EACCES:
        case EPERM:
            return CaptureStatus::kDenied;
        default:
            return CaptureStatus::kFailed;
    }
}

Capture outcome(CaptureStatus status, std::string message) {
    Capture capture;
    capture.status = status;
    capture.message = std::move(message);
    return capture;
}

// Finds the segment of an existing key file; never creates one.
Capture openSegment(const std::string& path, int& id, size_t& size) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return outcome(errno == ENOENT ? CaptureStatus::kNoKeyFile : statusOf(errno),
                       systemError("key file " + path, errno));
    }
    const key_t key = ftok(path.c_str(), kProjectId);
    if (key == -1)
        return outcome(statusOf(errno), systemError("ftok " + path, errno));
    id = shmget(key, 0, 0);
    if (id == -1) {
        const int error = errno;
        if (error == ENOENT) {
            return outcome(CaptureStatus::kNoSegment,
                           "no segment for key file " + path +
                               " (the broker is not running, or the key file is left over)");
        }
        return outcome(statusOf(error), systemError("shmget for " + path, error));
    }
    struct shmid_ds status {};
    if (shmctl(id, IPC_STAT, &status) != 0) {
        return outcome(statusOf(errno), systemError("shmctl IPC_STAT for " + path, errno));
    }
    size = status.shm_segsz;
    return outcome(CaptureStatus::kOk, "");
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void stabilise(const unsigned char* live, SegmentImage& image, const std::vector<Span>& spans,
               int retries) {
    for (const Span& span : spans) {
        if (span.offset > image.bytes.size() || span.length > image.bytes.size() - span.offset) {
            continue;
        }
        if (!readStable(live + span.offset, image.bytes.data() + span.offset, span.length,
                        retries)) {
            image.unstableOffsets.push_back(span.offset);
        }
    }
}

// Copies into `image` what readers of a segment look at. The segment header
// and every area header come first; of an area, the records up to its
// high-water mark (lastOffset), beyond which no reader walks; the rest of the
// area stays zero. The events areas' records only with CaptureAreas::kAll.
// Where the headers do not describe areas lying back to back, the rest of
// the segment is copied as it is, for the checks to report what is wrong.
void copyReadable(const unsigned char* live, size_t size, unsigned char* image,
                  CaptureAreas areas) {
    using MM = ZOV_Memory_Manager;
    constexpr size_t kHeader = MM::kHeaderSize;
    const auto copy = [&](size_t from, size_t to) {
        if (from < to)
            std::memcpy(image + from, live + from, to - from);
    };
    if (size < kHeader) {
        copy(0, size);
        return;
    }
    copy(0, kHeader);
    uint32_t declared = 0;
    ZOV_LoadField(image, MM::kSizeOffset, declared);
    const size_t end = declared >= kHeader && declared <= size ? declared : size;
    size_t offset = kHeader;
    while (offset + kHeader <= end) {
        copy(offset, offset + kHeader);
        const unsigned char* header = image + offset;
        if (header[0] == 0)
            return;  // no further area was carved
        uint32_t areaSize = 0;
        int32_t last = 0;
        ZOV_LoadField(header, MM::kSizeOffset, areaSize);
        ZOV_LoadField(header, MM::kLastOffsetOffset, last);
        const std::string_view name(reinterpret_cast<const char*>(header), MM::kEyecatcherSize);
        const bool statistics = name == std::string_view(kStatsEyecatcher, MM::kEyecatcherSize);
        const bool events = name == std::string_view(kTemplatesEyecatcher, MM::kEyecatcherSize) ||
                            name == std::string_view(kEventDataEyecatcher, MM::kEyecatcherSize);
        if ((!statistics && !events) || areaSize < kHeader || areaSize > end - offset ||
            last < static_cast<int32_t>(kHeader) || static_cast<uint32_t>(last) > areaSize) {
            break;
        }
        if (statistics || areas == CaptureAreas::kAll)
            copy(offset + kHeader, offset + static_cast<uint32_t>(last));
        offset += areaSize;
    }
    copy(offset, end);
}

}  // namespace

ImageBytes::ImageBytes(const std::vector<unsigned char>& bytes) : ImageBytes(bytes.size()) {
    if (!bytes.empty())
        std::memcpy(start, bytes.data(), bytes.size());
}

ImageBytes::ImageBytes(ImageBytes&& other) noexcept
    : start(std::exchange(other.start, nullptr)),
      length(std::exchange(other.length, 0)),
      mapped(std::exchange(other.mapped, 0)) {}

ImageBytes& ImageBytes::operator=(ImageBytes&& other) noexcept {
    if (this != &other) {
        ImageBytes old(std::move(*this));
        start = std::exchange(other.start, nullptr);
        length = std::exchange(other.length, 0);
        mapped = std::exchange(other.mapped, 0);
    }
    return *this;
}

ImageBytes::ImageBytes(const ImageBytes& other) : ImageBytes(other.length) {
    if (length != 0)
        std::memcpy(start, other.start, length);
}

ImageBytes& ImageBytes::operator=(const ImageBytes& other) {
    if (this != &other)
        *this = ImageBytes(other);
    return *this;
}

ImageBytes::~ImageBytes() {
    if (mapped != 0)
        munmap(start, mapped);
}

void ImageBytes::resize(size_t size) {
    if (size <= mapped) {
        if (size > length)
            std::memset(start + length, 0, size - length);  // bytes left by a shrink
        length = size;
        return;
    }
    void* grown = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED)
        throw std::bad_alloc();
    if (length != 0)
        std::memcpy(grown, start, length);
    ImageBytes old(std::move(*this));
    start = static_cast<unsigned char*>(grown);
    length = size;
    mapped = size;
}

std::string keyFilePath(const std::string& uuid) {
    return std::string(kKeyFileDirectory) + uuid + kKeyFileSuffix;
}

std::vector<std::string> findBrokers() {
    namespace fs = std::filesystem;
    std::vector<std::string> uuids;
    const std::string suffix = kKeyFileSuffix;
    std::error_code error;
    for (fs::directory_iterator it(kKeyFileDirectory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        std::error_code typeError;
        if (!it->is_regular_file(typeError))
            continue;
        uuids.push_back(name.substr(0, name.size() - suffix.size()));
    }
    std::sort(uuids.begin(), uuids.end());
    return uuids;
}

bool readStable(const unsigned char* live, unsigned char* copy, size_t length, int retries) {
    for (int attempt = 0; attempt < retries; ++attempt) {
        if (std::memcmp(live, copy, length) == 0)
            return true;
        std::memcpy(copy, live, length);
    }
    return false;
}

Capture captureSegment(const std::string& uuid, int retries, const SpanLocator& locate,
                       CaptureAreas areas) {
    const std::string path = keyFilePath(uuid);
    int id = -1;
    size_t size = 0;
    Capture capture = openSegment(path, id, size);
    if (capture.status != CaptureStatus::kOk)
        return capture;

    ReadOnlyAttachment attachment(id);
    if (!attachment.attached()) {
        return outcome(statusOf(errno), systemError("shmat (read-only) for " + path, errno));
    }
    SegmentImage& image = capture.image;
    try {
        image.bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return outcome(CaptureStatus::kFailed,
                       "no memory for a copy of " + std::to_string(size) + " bytes of " + path);
    }
    copyReadable(attachment.bytes(), size, image.bytes.data(), areas);
    image.takenAt = std::time(nullptr);
    image.monotonicAt = steadySeconds();
    if (locate)
        stabilise(attachment.bytes(), image, locate(image), retries);
    return capture;
}

}  // namespace lumenaview
