#include "tools/lumenaview_locks.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_segment.h"
#include "tools/lumenaview_units.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcshar.h"

namespace lumenaview {

namespace {

constexpr char kLockSuffix[] = ".zovmutx";
constexpr char kAttachPrefix[] = "zov_attach_";
constexpr int kProjectId = 1;  // the library's ftok project id
constexpr size_t kRecordIdDigits = 96;
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// The last operator of a set operated on from another PID namespace.
constexpr char kNotVisible[] = "not visible (another PID namespace)";

// The fourth argument of semctl for IPC_STAT; the caller defines the union.
union SemaphoreArgument {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

std::string shown(const std::string& text) {
    return escapeForTerminal(text);
}

std::string modeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 0777u);
    return text;
}

void refuse(LockView& lock, ZOV_Refusal why, std::string detail) {
    lock.state = LockState::kRefused;
    lock.refusal = ZOV_RefusalName(why);
    lock.refusalDetail = std::move(detail);
}

// Judges an IPC object found under the key file of `owner`; false (the lock
// refused) when it is not the brokers' own.
bool judgeObject(LockView& lock, const struct ipc_perm& permissions, uid_t owner,
                 const char* what) {
    const ZOV_Refusal why = ZOV_CheckIpcObject(permissions, owner);
    if (why == ZOV_Refusal::kNone)
        return true;
    refuse(lock, why,
           std::string(what) + " of user " + std::to_string(permissions.uid) + ", made by user " +
               std::to_string(permissions.cuid) + ", mode " + modeText(permissions.mode) +
               "; the key file is of user " + std::to_string(owner));
    return false;
}

// Judges the key file as opened and gives its user; false when it is
// refused (or cannot be opened: `lock.state` says which).
bool judgeKeyFile(LockView& lock, uid_t& owner) {
    struct stat file {};
    if (lstat(lock.keyFile.c_str(), &file) != 0)
        return false;
    ZOV_Refusal why = ZOV_CheckKeyFile(file, brokerUsers(), true);
    if (why == ZOV_Refusal::kNone) {
        const int fd = open(lock.keyFile.c_str(), kOpenFlags);
        const bool opened = fd >= 0 && fstat(fd, &file) == 0;
        if (!opened && errno == EACCES)
            lock.state = LockState::kDenied;
        if (fd >= 0)
            close(fd);
        if (!opened)
            return false;
        why = ZOV_CheckKeyFile(file, brokerUsers(), true);
    }
    if (why != ZOV_Refusal::kNone) {
        refuse(lock, why,
               S_ISLNK(file.st_mode)    ? "the key file is a symbolic link"
               : !S_ISREG(file.st_mode) ? "the key file is not a regular file"
               : file.st_nlink != 1
                   ? "the key file has " + std::to_string(file.st_nlink) + " names (hard links)"
                   : "the key file is of user " + std::to_string(file.st_uid) +
                         ", not a broker user (root, this user, --broker-user)");
        return false;
    }
    owner = file.st_uid;
    lock.key = ZOV_KeyOfFile(file, kProjectId);
    return true;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// This machine's boot time in Unix seconds, 0 when unknown.
std::time_t bootTime() {
    static const std::time_t boot = [] {
        std::ifstream stat("/proc/stat");
        std::string word;
        while (stat >> word) {
            if (word == "btime") {
                long long seconds = 0;
                stat >> seconds;
                return static_cast<std::time_t>(seconds);
            }
        }
        return std::time_t{0};
    }();
    return boot;
}

// The state of the process that operated on a semaphore last, at `operated`
// (Unix seconds): "alive", "stopped", "zombie" or "ended". A zombie or ended
// process can never free what it holds, a stopped one may when it
// continues. A process under that id that started after the operation is
// another one, the id reused: the operator has ended (a start within 2 s of
// it is taken for the operator, the times being whole seconds).
std::string processState(int pid, std::time_t operated) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return "ended";
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t name = line.rfind(") ");
    if (name == std::string::npos)
        return "alive";
    std::istringstream fields(line.substr(name + 2));
    std::string state;
    fields >> state;
    std::string skipped;
    for (int field = 4; field < 22; ++field)  // to the start time, field 22
        fields >> skipped;
    unsigned long long startTicks = 0;
    const long ticks = sysconf(_SC_CLK_TCK);
    if (fields >> startTicks && ticks > 0 && bootTime() != 0 && operated > 0 &&
        bootTime() + static_cast<std::time_t>(startTicks / ticks) > operated + 2) {
        return "ended";
    }
    if (state == "Z" || state == "X")
        return "zombie";
    return state == "T" || state == "t" ? "stopped" : "alive";
}

// The key file, opened without following a link and locked exclusively;
// -1 when it cannot be.
int lockKeyFileExclusively(const std::string& keyFile) {
    const int fd = open(keyFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// What a record mutex guards, by the record's ID in 96 hexadecimal digits.
struct RecordOwner {
    std::string uuid;
    std::string subject;
};
using RecordOwners = std::map<std::string, RecordOwner>;

// A record ID in the image as the library names the record's mutex: 96
// hexadecimal digits.
std::string idAt(const unsigned char* record, int offset) {
    return toHex(record + offset, ZOV_Record_ID::kSize);
}

// The records of the statistics area of one broker's segment, walked in
// place in a private copy as the library's reader takes them (no lock, no
// change, no record object).
void addRecordOwners(const std::string& uuid, RecordOwners& owners) {
    Capture capture = captureSegment(
        uuid, 1, [](SegmentImage&) { return std::vector<Span>{}; }, CaptureAreas::kStatistics);
    if (capture.status != CaptureStatus::kOk)
        return;
    const SegmentImage& image = capture.image;
    const SegmentLayout layout = inspectSegment(image.bytes.data(), image.bytes.size());
    const AreaView* where = layout.find(kStatsEyecatcher);
    if (!layout.error.empty() || where == nullptr)
        return;
    struct Placed {
        const unsigned char* position;
        ZOV_RecordType type;
    };
    std::vector<Placed> records;
    std::map<std::string, std::string> labels;  // record ID -> label of resources
    ZOV_Area_Image_Walk walk(image.bytes.data() + where->offset, where->size);
    while (walk.next()) {
        const unsigned char* position = walk.position();
        const unixtime created = ZOV_LoadUnixtime(
            position, ZOV_Record_Header::kRecordIdOffset + ZOV_Record_ID::kCreatedOffset);
        if (ZOV_IsLater(created, unixtime{}) == 0)
            continue;  // the reader leaves out records of the zero time
        records.push_back({position, walk.type()});
        if (ZOV_RecordKind(walk.type())->makeResource != nullptr)
            labels[idAt(position, ZOV_Record_Header::kRecordIdOffset)] = resourceLabel(position);
    }
    for (const Placed& record : records) {
        const std::string id = idAt(record.position, ZOV_Record_Header::kRecordIdOffset);
        std::string subject;
        if (record.type == ZOV_RT_STATISTICS) {
            const auto label =
                labels.find(idAt(record.position, ZOV_Record_Header::kParentIdOffset));
            subject = "statistics of node " + (label != labels.end() ? label->second : "?");
        } else if (const auto label = labels.find(id); label != labels.end()) {
            subject = "record of " + label->second;
        } else {
            subject = "record of type " + std::to_string(record.type);
        }
        owners[id] = {uuid, subject};
    }
}

// Kind and owner from the key file's name.
void classify(LockView& lock, const std::string& name, const RecordOwners& records) {
    const std::string base = name.substr(0, name.size() - std::strlen(kLockSuffix));
    static const std::pair<const char*, const char*> kAreas[] = {
        {".zovcshme", "segment"},
        {".zovcstar", "statistics area"},
        {".zovcetar", "templates area"},
        {".zovcedar", "event data area"},
    };
    for (const auto& [suffix, kind] : kAreas) {
        if (endsWith(base, suffix)) {
            lock.kind = kind;
            lock.owner = base.substr(0, base.size() - std::strlen(suffix));
            return;
        }
    }
    if (base.rfind(kAttachPrefix, 0) == 0) {
        lock.kind = "attachment";
        lock.owner = base.substr(std::strlen(kAttachPrefix));
        lock.subject = "attachment table of process " + lock.owner;
        return;
    }
    if (base.size() == kRecordIdDigits &&
        base.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        lock.kind = "record";
        const auto found = records.find(base);
        if (found != records.end()) {
            lock.owner = found->second.uuid;
            lock.subject = found->second.subject;
        } else {
            lock.subject = "record in no broker's area";
        }
        return;
    }
    lock.kind = "other";
}

// The semaphore set and queue under the key file's key, as they are now,
// when key file and objects are the brokers' own.
void inspectObjects(LockView& lock) {
    uid_t owner = 0;
    if (!judgeKeyFile(lock, owner))
        return;
    lock.semaphoreId = semget(lock.key, 0, 0);
    struct semid_ds set = {};
    SemaphoreArgument argument = {};
    argument.buf = &set;
    if (lock.semaphoreId >= 0 && semctl(lock.semaphoreId, 0, IPC_STAT, argument) != 0 &&
        (errno == EACCES || errno == EPERM)) {
        lock.state = LockState::kDenied;
        return;
    }
    if (lock.semaphoreId >= 0 && !judgeObject(lock, set.sem_perm, owner, "semaphore set"))
        return;
    const int queue = msgget(lock.key, 0);
    struct msqid_ds queueStatus = {};
    if (queue >= 0 && msgctl(queue, IPC_STAT, &queueStatus) == 0) {
        if (!judgeObject(lock, queueStatus.msg_perm, owner, "message queue"))
            return;
        lock.handles = static_cast<long>(queueStatus.msg_qnum);
    }
    if (lock.semaphoreId < 0) {
        lock.state = LockState::kNoObjects;
        return;
    }
    lock.value = semctl(lock.semaphoreId, 0, GETVAL);
    if (lock.value < 0 && (errno == EACCES || errno == EPERM)) {
        lock.state = LockState::kDenied;
        return;
    }
    lock.lastPid = semctl(lock.semaphoreId, 0, GETPID);
    lock.waiting = semctl(lock.semaphoreId, 0, GETNCNT);
    // An operated set whose last operator has no id here was operated on
    // from another PID namespace: that process may well be alive.
    const bool operated = set.sem_otime != 0;
    lock.lastProcess =
        lock.lastPid <= 0 && operated ? kNotVisible : processState(lock.lastPid, set.sem_otime);
    lock.lastAlive = lock.lastProcess != "zombie" && lock.lastProcess != "ended";
    if (lock.value == 1)
        lock.state = LockState::kFree;
    else if (lock.value > 1)
        lock.state = LockState::kOverReleased;
    else if (lock.value < 0)
        lock.state = LockState::kNoObjects;  // vanished while looking
    else if (!operated)
        lock.state = LockState::kUninitialised;
    else
        lock.state = lock.lastAlive ? LockState::kHeld : LockState::kStale;
}

int kindOrder(const std::string& kind) {
    static const char* const kOrder[] = {"segment",         "statistics area", "templates area",
                                         "event data area", "record",          "attachment"};
    for (int i = 0; i < 6; ++i) {
        if (kind == kOrder[i])
            return i;
    }
    return 6;
}

std::string describeLastPid(const LockView& lock) {
    if (lock.lastPid <= 0)
        return lock.lastProcess == kNotVisible ? kNotVisible : "-";
    return std::to_string(lock.lastPid) + " (" + lock.lastProcess + ")";
}

std::string keyText(int key) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(key));
    return text;
}

}  // namespace

const char* lockStateName(LockState state) {
    switch (state) {
        case LockState::kFree:
            return "free";
        case LockState::kHeld:
            return "held";
        case LockState::kStale:
            return "STALE";
        case LockState::kUninitialised:
            return "new";
        case LockState::kOverReleased:
            return "OVER-RELEASED";
        case LockState::kNoObjects:
            return "no-objects";
        case LockState::kDenied:
            return "permission denied";
        case LockState::kRefused:
            return "REFUSED";
    }
    return "?";
}

bool isMutexKeyFile(const std::string& path) {
    const std::string directory = kKeyFileDirectory;
    return path.size() > directory.size() + std::strlen(kLockSuffix) &&
           path.compare(0, directory.size(), directory) == 0 && endsWith(path, kLockSuffix) &&
           path.find('/', directory.size()) == std::string::npos;
}

std::string lockKeyFile(const std::string& nameOrPath) {
    if (!nameOrPath.empty() && nameOrPath[0] == '/')
        return nameOrPath;
    return std::string(kKeyFileDirectory) + nameOrPath +
           (endsWith(nameOrPath, kLockSuffix) ? "" : kLockSuffix);
}

LockView inspectLock(const std::string& keyFile) {
    LockView lock;
    struct stat file {};
    if (lstat(keyFile.c_str(), &file) != 0)
        return lock;
    const std::string name = std::filesystem::path(keyFile).filename().string();
    RecordOwners records;
    if (name.size() == kRecordIdDigits + std::strlen(kLockSuffix)) {
        for (const std::string& uuid : findBrokers())
            addRecordOwners(uuid, records);
    }
    lock.keyFile = keyFile;
    classify(lock, name, records);
    inspectObjects(lock);
    return lock;
}

namespace {

// When a semaphore set was last operated on (semop) and last changed by
// semctl, in seconds, as the kernel's list gives them.
struct SetTimes {
    long operated = 0;
    long changed = 0;
    bool operator==(const SetTimes&) const = default;
};

// A semaphore set of the kernel's list.
struct SetEntry {
    key_t key = IPC_PRIVATE;
    int id = -1;  // -1: no set under the key
    SetTimes times;
    bool timed = false;  // times known (from the list, not from semget)
};

}  // namespace

// The semaphore sets of this IPC namespace, sorted by key, from one read of
// /proc/sysvipc/sem: found there, a key file's set needs no semget of its
// own. Sorted rather than hashed: another user chooses the keys of his own
// sets, and a search of a sorted list costs the same whatever they are.
// Empty when the list cannot be read (every key is then looked up).
class SetsByKey {
  public:
    SetsByKey() {
        listedFrom = std::time(nullptr);
        const int fd = open("/proc/sysvipc/sem", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        // Read in chunks and taken a whole line at a time; the first line
        // is the heading. A line is some 100 bytes, a chunk holds hundreds.
        char chunk[65536];
        size_t kept = 0;
        bool heading = true;
        ssize_t got = 0;
        while ((got = read(fd, chunk + kept, sizeof chunk - kept)) > 0) {
            const char* at = chunk;
            const char* const end = chunk + kept + got;
            while (const auto* line = static_cast<const char*>(std::memchr(at, '\n', end - at))) {
                if (!heading)
                    takeLine(at, line);
                heading = false;
                at = line + 1;
            }
            kept = static_cast<size_t>(end - at);
            if (kept == sizeof chunk)
                break;  // a line longer than a chunk: not the list this reads
            std::memmove(chunk, at, kept);
        }
        close(fd);
        readable = got == 0 && kept == 0;
        std::sort(sets.begin(), sets.end(),
                  [](const SetEntry& a, const SetEntry& b) { return a.key < b.key; });
    }

    // The set under `key`: its id is -1 when there is none.
    SetEntry find(key_t key) const {
        if (!readable)
            return {key, semget(key, 0, 0), {}, false};
        const auto found =
            std::lower_bound(sets.begin(), sets.end(), key,
                             [](const SetEntry& set, key_t wanted) { return set.key < wanted; });
        return found != sets.end() && found->key == key ? *found : SetEntry{key, -1, {}, false};
    }

    // The second in which the list began to be read.
    std::time_t listedFrom = 0;

  private:
    // A decimal number after spaces, from `at` up to `end`; false when none.
    static bool number(const char*& at, const char* end, long& value) {
        while (at < end && *at == ' ')
            ++at;
        const bool negative = at < end && *at == '-';
        at += negative ? 1 : 0;
        const char* const first = at;
        long magnitude = 0;
        while (at < end && *at >= '0' && *at <= '9' && at - first < 18)
            magnitude = 10 * magnitude + (*at++ - '0');
        value = negative ? -magnitude : magnitude;
        return at != first;
    }

    // "key semid perms nsems uid gid cuid cgid otime ctime"; a private set
    // (key 0) is no key file's. A line without the times still gives the set.
    void takeLine(const char* at, const char* end) {
        long fields[10] = {};
        size_t taken = 0;
        while (taken < std::size(fields) && number(at, end, fields[taken]))
            ++taken;
        if (taken >= 2 && fields[0] != IPC_PRIVATE) {
            const SetTimes times{fields[8], fields[9]};
            sets.push_back({static_cast<key_t>(fields[0]), static_cast<int>(fields[1]), times,
                            taken == std::size(fields)});
        }
    }

    std::vector<SetEntry> sets;
    bool readable = false;
};

namespace {

// What the last counts learnt, so that a count of an idle machine costs no
// system call per mutex, nor per key file that another user planted: the
// inodes of the key files they judged trusted or another user's, and the
// semaphore sets they found free, with the sets' times and their key file's
// inode.
//
// A key file listed under an inode so judged is that file still: only root
// gives a file to another user, and a file's kind never changes (a new file
// could take the inode of a removed one; it is judged within a minute, and
// always before its set counts as stale).
//
// A set's value changes only by semop, which sets its operation time to the
// current second, or by semctl, which sets its change time. So a set whose two
// times are as they were, both earlier than the second in which the count
// that found it free began to list the sets, is free still. Taken sets are
// read every time, since their holder may end. A margin of seconds, and
// forgetting everything when the wall clock has gone back and at least every
// minute, keep a step of the clock from hiding a change for longer than a
// minute.
class LockMemory {
  public:
    void begin(std::time_t listedFrom) {
        using namespace std::chrono;
        const double now = duration<double>(steady_clock::now().time_since_epoch()).count();
        const bool clockBack =
            static_cast<double>(listedFrom - listed) < now - steadyListed - kMarginSeconds;
        if (clockBack || now - forgotten > kForgetAfterSeconds) {
            known = {};
            forgotten = now;
        }
        listed = listedFrom;
        steadyListed = now;
        next = {};
    }

    // What an earlier count judged the key file of `inode`: trusted, another
    // user's (which only root could change), or neither (not judged).
    enum class Verdict { kNone, kTrusted, kForeign };
    Verdict fileVerdict(ino_t inode) {
        if (known.trustedFiles.count(inode) != 0) {
            next.trustedFiles.insert(inode);
            return Verdict::kTrusted;
        }
        if (known.foreignFiles.count(inode) != 0) {
            next.foreignFiles.insert(inode);
            return Verdict::kForeign;
        }
        return Verdict::kNone;
    }

    void judged(ino_t inode, Verdict verdict) {
        (verdict == Verdict::kTrusted ? next.trustedFiles : next.foreignFiles).insert(inode);
    }

    // True when `set` was free at the last count, under the key file of
    // `inode`, and has not changed since.
    bool stillFree(const SetEntry& set, ino_t inode) {
        if (!set.timed)
            return false;
        const auto found = known.freeSets.find(set.id);
        if (found == known.freeSets.end() || found->second.times != set.times ||
            found->second.inode != inode) {
            return false;
        }
        next.freeSets.insert(*found);
        return true;
    }

    void foundFree(const SetEntry& set, ino_t inode) {
        const long before = static_cast<long>(listed) - kMarginSeconds;
        if (set.timed && set.times.operated < before && set.times.changed < before)
            next.freeSets[set.id] = {set.times, inode};
    }

    void end() { std::swap(known, next); }

  private:
    static constexpr long kMarginSeconds = 3;
    static constexpr double kForgetAfterSeconds = 60;
    struct Seen {
        SetTimes times;
        ino_t inode;
    };
    struct Learnt {
        std::unordered_set<ino_t> trustedFiles;
        std::unordered_set<ino_t> foreignFiles;
        std::unordered_map<int, Seen> freeSets;
    };
    Learnt known;
    Learnt next;
    std::time_t listed = 0;  // the second in which this count began to list the sets
    double steadyListed = 0;
    double forgotten = -kForgetAfterSeconds - 1;
};

std::mutex lockMemoryLock;
LockMemory lockMemory;

}  // namespace

LockCounter::LockCounter() : memory(lockMemoryLock), sets(std::make_unique<SetsByKey>()) {
    lockMemory.begin(sets->listedFrom);
}

LockCounter::~LockCounter() {
    lockMemory.end();
}

void LockCounter::take(int directory, const dirent& entry) {
    const size_t length = std::strlen(entry.d_name);
    const size_t suffix = std::strlen(kLockSuffix);
    if (length <= suffix || std::memcmp(entry.d_name + length - suffix, kLockSuffix, suffix) != 0)
        return;
    if (entry.d_type != DT_REG && entry.d_type != DT_UNKNOWN) {
        ++counts.refused;  // a link or any other kind of file is never a key file
        return;
    }
    key_t key = -1;
    ino_t inode = 0;
    if (!trustedKey(directory, entry, key, inode))
        return;
    // Only a taken set can be stale; a free one is remembered.
    const SetEntry set = sets->find(key);
    if (set.id < 0 || lockMemory.stillFree(set, inode))
        return;
    const int value = semctl(set.id, 0, GETVAL);
    if (value == 0)
        judgeTaken(directory, entry.d_name, key, set.id);
    else if (value > 0)
        lockMemory.foundFree(set, inode);
}

bool LockCounter::trustedKey(int directory, const dirent& entry, key_t& key, ino_t& inode) {
    using Verdict = LockMemory::Verdict;
    const Verdict known = listsFilesAsTheyAre(directory, entry)
                              ? lockMemory.fileVerdict(entry.d_ino)
                              : Verdict::kNone;
    struct stat file {};
    if (known == Verdict::kForeign) {
        ++counts.refused;
        return false;
    }
    if (known == Verdict::kTrusted) {
        file.st_dev = device;
        file.st_ino = entry.d_ino;
    } else if (fstatat(directory, entry.d_name, &file, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    } else if (const ZOV_Refusal why = ZOV_CheckKeyFile(file, brokerUsers(), true);
               why != ZOV_Refusal::kNone) {
        ++counts.refused;
        if (why == ZOV_Refusal::kKeyFileOwner)
            lockMemory.judged(file.st_ino, Verdict::kForeign);
        return false;
    } else {
        lockMemory.judged(file.st_ino, Verdict::kTrusted);
    }
    key = ZOV_KeyOfFile(file, kProjectId);
    inode = file.st_ino;
    return true;
}

bool LockCounter::listsFilesAsTheyAre(int directory, const dirent& entry) {
    if (listedInodes < 0 && entry.d_type == DT_REG) {
        struct stat file {};
        struct stat folder {};
        if (fstatat(directory, entry.d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 &&
            fstat(directory, &folder) == 0) {
            listedInodes = file.st_ino == entry.d_ino && file.st_dev == folder.st_dev ? 1 : 0;
            device = folder.st_dev;
        }
    }
    return listedInodes == 1 && entry.d_type == DT_REG;
}

void LockCounter::judgeTaken(int directory, const char* name, key_t key, int id) {
    // Judged afresh, whatever an earlier count found: this decides a count.
    struct stat file {};
    if (fstatat(directory, name, &file, AT_SYMLINK_NOFOLLOW) != 0 ||
        ZOV_KeyOfFile(file, kProjectId) != key) {
        return;  // gone, or another file, since it was listed
    }
    if (ZOV_CheckKeyFile(file, brokerUsers(), true) != ZOV_Refusal::kNone) {
        ++counts.refused;
        return;
    }
    struct semid_ds status = {};
    SemaphoreArgument argument = {};
    argument.buf = &status;
    // The id comes from a list read a moment ago: the set must still be the
    // one under this key.
    if (semctl(id, 0, IPC_STAT, argument) != 0 || status.sem_perm.__key != key)
        return;
    if (ZOV_CheckIpcObject(status.sem_perm, file.st_uid) != ZOV_Refusal::kNone) {
        ++counts.refused;
        return;
    }
    // 0: never operated on, or from another PID namespace: not stale.
    const int holder = semctl(id, 0, GETPID);
    if (holder > 0) {
        const std::string state = processState(holder, status.sem_otime);
        counts.stale += state == "zombie" || state == "ended" ? 1 : 0;
    }
}

LockCounts countLocks() {
    LockCounter counter;
    findBrokers([&counter](int directory, const dirent& entry) { counter.take(directory, entry); });
    return counter.counts;
}

int countStaleLocks() {
    return countLocks().stale;
}

std::vector<LockView> listLocks(const std::vector<std::string>& uuids) {
    RecordOwners records;
    for (const std::string& uuid : findBrokers())
        addRecordOwners(uuid, records);
    std::vector<LockView> locks;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kKeyFileDirectory, error)) {
        const std::string name = entry.path().filename().string();
        if (!endsWith(name, kLockSuffix))
            continue;
        LockView lock;
        lock.keyFile = entry.path().string();
        classify(lock, name, records);
        const bool wanted = uuids.empty() || lock.kind == "attachment" ||
                            std::find(uuids.begin(), uuids.end(), lock.owner) != uuids.end();
        if (!wanted)
            continue;
        inspectObjects(lock);
        locks.push_back(lock);
    }
    // Key files sharing a key share one semaphore set and one queue.
    for (LockView& lock : locks) {
        for (const LockView& other : locks) {
            if (&other != &lock && lock.key != -1 && other.key == lock.key)
                lock.sameKeyAs.push_back(other.keyFile);
        }
    }
    std::sort(locks.begin(), locks.end(), [](const LockView& a, const LockView& b) {
        if (a.owner != b.owner && a.kind != "attachment" && b.kind != "attachment")
            return a.owner < b.owner;
        if (kindOrder(a.kind) != kindOrder(b.kind))
            return kindOrder(a.kind) < kindOrder(b.kind);
        return a.keyFile < b.keyFile;
    });
    return locks;
}

void writeLocksText(std::ostream& out, const std::vector<LockView>& locks) {
    // Key file names and labels may hold any bytes: shown escaped, as in
    // every other view, never sent raw to the terminal.
    const auto shown = [](const std::string& text) { return escapeForTerminal(text); };
    out << "Named mutexes (" << locks.size() << "): state, value, last process, waiting, "
        << "handles, what it guards, key file\n";
    for (const LockView& lock : locks) {
        if (lock.state == LockState::kDenied || lock.state == LockState::kRefused) {
            out << "  " << lockStateName(lock.state);
            if (lock.state == LockState::kRefused)
                out << " (" << lock.refusal << "): " << shown(lock.refusalDetail);
            out << "\n    " << shown(lock.keyFile) << "  key " << keyText(lock.key) << "\n";
            continue;
        }
        out << "  " << lockStateName(lock.state) << "  value " << lock.value << "  last "
            << describeLastPid(lock) << "  waiting " << lock.waiting << "  handles " << lock.handles
            << "  ";
        if (lock.kind == "attachment") {
            out << shown(lock.subject);
        } else {
            out << lock.kind;
            if (!lock.owner.empty())
                out << " of broker " << shown(lock.owner);
            if (!lock.subject.empty())
                out << ", " << shown(lock.subject);
        }
        out << "\n    " << shown(lock.keyFile) << "  key " << keyText(lock.key) << "\n";
        for (const std::string& other : lock.sameKeyAs)
            out << "    KEY COLLISION: same key as " << shown(other) << "\n";
        if (lock.state == LockState::kStale) {
            out << "    taken by process " << lock.lastPid
                << ", which has ended without freeing it; release with: lumenaview "
                   "--release-stale "
                << shown(lock.keyFile) << "\n";
        }
    }
}

void writeLocksJson(std::ostream& out, const std::vector<LockView>& locks, bool pretty) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const LockView& lock : locks) {
        nlohmann::ordered_json item;
        item["key_file"] = lock.keyFile;
        item["kind"] = lock.kind;
        item["owner"] = lock.owner;
        item["subject"] = lock.subject;
        item["key"] = keyText(lock.key);
        item["state"] = lockStateName(lock.state);
        item["value"] = lock.value;
        item["last_pid"] = lock.lastPid;
        item["last_pid_alive"] = lock.lastAlive;
        item["last_process"] = lock.lastProcess;
        item["waiting"] = lock.waiting;
        item["handles"] = lock.handles;
        item["same_key_as"] = lock.sameKeyAs;
        item["refused"] = nullptr;
        item["refused_because"] = nullptr;
        if (lock.state == LockState::kRefused) {
            item["refused"] = lock.refusal;
            item["refused_because"] = lock.refusalDetail;
        }
        list.push_back(item);
    }
    // A key file's name is whatever bytes are in /tmp: invalid UTF-8 is
    // replaced, never allowed to abort the output.
    out << list.dump(pretty ? 2 : -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
        << '\n';
}

ReleaseOutcome releaseStale(const std::string& keyFile, bool assumeYes, std::istream& in,
                            std::ostream& out, std::ostream& err) {
    const std::string name = shown(keyFile);
    if (!isMutexKeyFile(keyFile)) {
        err << "lumenaview: " << name << " is not a named mutex's key file (" << kKeyFileDirectory
            << "NAME" << kLockSuffix << "): nothing released\n";
        return ReleaseOutcome::kNotFound;
    }
    const LockView lock = inspectLock(keyFile);
    if (lock.keyFile.empty()) {
        err << "lumenaview: no named mutex " << name << '\n';
        return ReleaseOutcome::kNotFound;
    }
    // A set never operated on is one whose creator ended before raising it
    // (a live creator holds the key file lock until it has, see below).
    if (lock.state != LockState::kStale && lock.state != LockState::kUninitialised) {
        err << "lumenaview: " << name << " is " << lockStateName(lock.state)
            << (lock.state == LockState::kHeld && lock.lastPid <= 0
                    ? " by a process of another PID namespace"
                : lock.state == LockState::kHeld
                    ? " by process " + std::to_string(lock.lastPid) + ", which is alive"
                : lock.state == LockState::kRefused
                    ? " (" + lock.refusal + "): " + shown(lock.refusalDetail)
                    : std::string())
            << ": nothing released\n";
        return ReleaseOutcome::kNotStale;
    }
    if (!assumeYes) {
        out << "Release " << name << " (" << lock.kind
            << (lock.subject.empty() ? "" : ", " + shown(lock.subject)) << "), "
            << (lock.lastPid > 0
                    ? "taken by process " + std::to_string(lock.lastPid) + " which has ended"
                    : std::string("never set up by its creator"))
            << "? [y/N] " << std::flush;
        std::string answer;
        std::getline(in, answer);
        if (answer != "y" && answer != "yes") {
            out << "Nothing released.\n";
            return ReleaseOutcome::kDeclined;
        }
    }
    // Decide again and raise under the key file lock: see the header.
    const int fileLock = lockKeyFileExclusively(keyFile);
    if (fileLock < 0) {
        err << "lumenaview: " << name << ": " << std::strerror(errno) << ": nothing released\n";
        return ReleaseOutcome::kFailed;
    }
    const LockView now = inspectLock(keyFile);
    if (now.semaphoreId != lock.semaphoreId || now.state != lock.state ||
        now.lastPid != lock.lastPid) {
        close(fileLock);
        err << "lumenaview: " << name << " changed meanwhile: nothing released\n";
        return ReleaseOutcome::kChanged;
    }
    struct sembuf operations[2] = {};
    operations[0].sem_num = 0;
    operations[0].sem_op = 0;  // proceed only while the value is 0
    operations[0].sem_flg = IPC_NOWAIT;
    operations[1].sem_num = 0;
    operations[1].sem_op = 1;
    operations[1].sem_flg = 0;
    const int raised = semop(lock.semaphoreId, operations, 2);
    const int error = errno;
    close(fileLock);
    if (raised != 0) {
        err << "lumenaview: " << name << ": "
            << (error == EAGAIN ? "changed meanwhile" : std::strerror(error))
            << ": nothing released\n";
        return error == EAGAIN ? ReleaseOutcome::kChanged : ReleaseOutcome::kFailed;
    }
    out << "Released " << name << " (taken by process " << lock.lastPid << ").\n";
    return ReleaseOutcome::kReleased;
}

}  // namespace lumenaview
