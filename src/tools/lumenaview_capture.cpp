#include "tools/lumenaview_capture.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

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
        const unsigned char* source = live + span.offset;
        const auto copyOnce = [&](unsigned char* out) { std::memcpy(out, source, span.length); };
        if (!readStable(copyOnce, image.bytes.data() + span.offset, span.length, retries)) {
            image.unstableOffsets.push_back(span.offset);
        }
    }
}

}  // namespace

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

bool readStable(const std::function<void(unsigned char*)>& copyOnce, unsigned char* copy,
                size_t length, int retries) {
    std::vector<unsigned char> next(length);
    for (int attempt = 0; attempt < retries; ++attempt) {
        copyOnce(next.data());
        if (std::memcmp(next.data(), copy, length) == 0)
            return true;
        std::memcpy(copy, next.data(), length);
    }
    return false;
}

Capture captureSegment(const std::string& uuid, int retries, const SpanLocator& locate) {
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
    std::memcpy(image.bytes.data(), attachment.bytes(), size);
    image.takenAt = std::time(nullptr);
    image.monotonicAt = steadySeconds();
    if (locate)
        stabilise(attachment.bytes(), image, locate(image), retries);
    return capture;
}

}  // namespace lumenaview
