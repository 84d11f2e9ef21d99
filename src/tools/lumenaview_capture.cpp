#include "tools/lumenaview_capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "tools/lumenaview_memory.h"
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

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

ZOV_Trusted_Users trustedBrokerUsers;

std::string number(unsigned long long value) {
    return std::to_string(value);
}

std::string modeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 0777u);
    return text;
}

// Why a key file is refused, for people.
std::string keyFileRefusal(ZOV_Refusal why, const struct stat& file) {
    switch (why) {
        case ZOV_Refusal::kKeyFileLink:
            return "a symbolic link";
        case ZOV_Refusal::kKeyFileType:
            return "not a regular file";
        case ZOV_Refusal::kKeyFileLinks:
            return "a file with " + number(file.st_nlink) + " names (hard links)";
        default:
            return "a file of user " + number(file.st_uid) +
                   ", not a broker user (root, this user, --broker-user)";
    }
}

std::string segmentRefusal(ZOV_Refusal why, const struct shmid_ds& found, uid_t keyFileOwner) {
    const std::string segment = "segment of " + number(found.shm_segsz) + " bytes";
    switch (why) {
        case ZOV_Refusal::kObjectOwner:
            return segment + " of user " + number(found.shm_perm.uid) + ", made by user " +
                   number(found.shm_perm.cuid) + "; the key file is of user " +
                   number(keyFileOwner);
        case ZOV_Refusal::kObjectMode:
            return segment + " with mode " + modeText(found.shm_perm.mode) +
                   ", open to more than owner and group (0660)";
        default:
            return segment + ", more than the " + number(kZOVMaximumReadSegmentSize) +
                   " a reader takes";
    }
}

// Judges the key file as opened; fills the source's identity.
bool judgeKeyFile(SegmentSource& source, key_t& key) {
    struct stat file {};
    // A first look without opening: only a regular file is ever opened.
    if (lstat(source.keyFile.c_str(), &file) != 0) {
        const int error = errno;
        source.status = error == ENOENT ? CaptureStatus::kNoKeyFile : statusOf(error);
        source.message = systemError("key file " + source.keyFile, error);
        return false;
    }
    ZOV_Refusal why = ZOV_CheckKeyFile(file, trustedBrokerUsers, true);
    if (why == ZOV_Refusal::kNone) {
        const int fd = open(source.keyFile.c_str(), kOpenFlags);
        const bool opened = fd >= 0 && fstat(fd, &file) == 0;
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (!opened) {
            source.status = error == ENOENT ? CaptureStatus::kNoKeyFile : statusOf(error);
            source.message = systemError("key file " + source.keyFile, error);
            return false;
        }
        why = ZOV_CheckKeyFile(file, trustedBrokerUsers, true);
    }
    if (why != ZOV_Refusal::kNone) {
        source.status = CaptureStatus::kRefused;
        source.refusal = why;
        source.message = "key file " + source.keyFile + " is " + keyFileRefusal(why, file);
        return false;
    }
    source.device = file.st_dev;
    source.inode = file.st_ino;
    source.owner = file.st_uid;
    source.made = file.st_ctim;
    key = ZOV_KeyOfFile(file, kProjectId);
    return true;
}

// Ranks sources of one segment: the one to keep first.
bool preferred(const SegmentSource& a, const SegmentSource& b) {
    const bool aCreator = a.owner == a.creator, bCreator = b.owner == b.creator;
    if (aCreator != bCreator)
        return aCreator;
    if (a.made.tv_sec != b.made.tv_sec || a.made.tv_nsec != b.made.tv_nsec)
        return a.made.tv_sec != b.made.tv_sec ? a.made.tv_sec < b.made.tv_sec
                                              : a.made.tv_nsec < b.made.tv_nsec;
    return a.keyFile < b.keyFile;
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
// A header that does not lead to the next area ends the walk: the rest of the
// image stays zero, and the checks report the header where the chain broke.
void copyReadable(const unsigned char* live, size_t size, unsigned char* image,
                  CaptureAreas areas) {
    using MM = ZOV_Memory_Manager;
    constexpr size_t kHeader = MM::kHeaderSize;
    const auto copy = [&](size_t from, size_t to) {
        if (from < to) {
            prefaultForReading(live + from, to - from);
            preferHugePages(image + from, to - from);
            std::memcpy(image + from, live + from, to - from);
        }
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
    if (offset + kHeader > end)
        copy(offset, end);  // a tail too short for a header
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

std::vector<std::string> findBrokers(const DirectoryVisitor& others) {
    // Read at every scrape: the names are compared in the directory's own
    // buffer, only a segment's key file makes a string.
    std::vector<std::string> uuids;
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(kKeyFileDirectory), closedir);
    if (directory == nullptr)
        return uuids;
    const size_t suffix = std::strlen(kKeyFileSuffix);
    while (const dirent* entry = readdir(directory.get())) {
        const size_t length = std::strlen(entry->d_name);
        if (length > suffix &&
            std::memcmp(entry->d_name + length - suffix, kKeyFileSuffix, suffix) == 0) {
            uuids.emplace_back(entry->d_name, length - suffix);
        } else if (others) {
            others(dirfd(directory.get()), *entry);
        }
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

void setBrokerUsers(const ZOV_Trusted_Users& users) {
    trustedBrokerUsers = users;
}

const ZOV_Trusted_Users& brokerUsers() {
    return trustedBrokerUsers;
}

SegmentSource openSegment(const std::string& uuid) {
    SegmentSource source;
    source.uuid = uuid;
    source.keyFile = keyFilePath(uuid);
    key_t key = -1;
    if (!judgeKeyFile(source, key))
        return source;
    const std::string& path = source.keyFile;
    source.id = shmget(key, 0, 0);
    if (source.id == -1) {
        const int error = errno;
        source.status = statusOf(error);
        source.message = error == ENOENT ? "no segment for key file " + path +
                                               " (the broker is not running, or the key file "
                                               "is left over)"
                                         : systemError("shmget for " + path, error);
        return source;
    }
    struct shmid_ds found {};
    if (shmctl(source.id, IPC_STAT, &found) != 0) {
        source.status = statusOf(errno);
        source.message = systemError("shmctl IPC_STAT for " + path, errno);
        return source;
    }
    source.size = found.shm_segsz;
    source.creator = found.shm_perm.cuid;
    ZOV_Refusal why = ZOV_CheckIpcObject(found.shm_perm, source.owner);
    if (why == ZOV_Refusal::kNone && source.size > kZOVMaximumReadSegmentSize)
        why = ZOV_Refusal::kSegmentSize;
    if (why != ZOV_Refusal::kNone) {
        source.status = CaptureStatus::kRefused;
        source.refusal = why;
        source.message = "key file " + path + ": " + segmentRefusal(why, found, source.owner);
        return source;
    }
    source.status = CaptureStatus::kOk;
    return source;
}

void refuseSharedSegments(std::vector<SegmentSource>& sources) {
    std::vector<SegmentSource*> open;
    for (SegmentSource& source : sources) {
        if (source.status == CaptureStatus::kOk)
            open.push_back(&source);
    }
    std::sort(open.begin(), open.end(),
              [](const SegmentSource* a, const SegmentSource* b) { return preferred(*a, *b); });
    for (size_t i = 0; i < open.size(); ++i) {
        for (size_t k = 0; k < i; ++k) {
            const SegmentSource& kept = *open[k];
            SegmentSource& later = *open[i];
            if (kept.status != CaptureStatus::kOk ||
                (kept.id != later.id && (kept.device != later.device || kept.inode != later.inode)))
                continue;
            later.status = CaptureStatus::kRefused;
            later.refusal = ZOV_Refusal::kSharedSegment;
            later.message = "key file " + later.keyFile + " names the segment of key file " +
                            kept.keyFile + ", read under that one";
            break;
        }
    }
}

Capture captureSegment(const std::string& uuid, int retries, const SpanLocator& locate,
                       CaptureAreas areas) {
    return captureSegment(openSegment(uuid), retries, locate, areas);
}

Capture captureSegment(const SegmentSource& source, int retries, const SpanLocator& locate,
                       CaptureAreas areas) {
    if (source.status != CaptureStatus::kOk) {
        Capture capture = outcome(source.status, source.message);
        capture.refusal = source.refusal;
        return capture;
    }
    const std::string& path = source.keyFile;
    const size_t size = source.size;
    Capture capture = outcome(CaptureStatus::kOk, "");
    ReadOnlyAttachment attachment(source.id);
    if (!attachment.attached()) {
        return outcome(statusOf(errno), systemError("shmat (read-only) for " + path, errno));
    }
    if (ZOV_CheckSegmentSize(size, attachment.bytes()) != ZOV_Refusal::kNone) {
        uint32_t declared = 0;
        ZOV_LoadField(attachment.bytes(), ZOV_Memory_Manager::kSizeOffset, declared);
        capture =
            outcome(CaptureStatus::kRefused, "key file " + path + ": segment of " + number(size) +
                                                 " bytes, its header says " + number(declared));
        capture.refusal = ZOV_Refusal::kSegmentSize;
        return capture;
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
