#include "zov/core/zovcmutx.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/random.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "zov/core/zovcdegr.h"
#include "zov/core/zovctool.h"
#include "zov/core/zovctrus.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

static constexpr char _ZOV_UNIT_[] = "zovcmutx";

namespace {

constexpr char kTmpPrefix[] = "/tmp/";
constexpr size_t kTmpPrefixLength = sizeof kTmpPrefix - 1;
constexpr char kKeySuffix[] = ".zovmutx";
constexpr int kProjectId = 1;
constexpr int kPermissions = 0660;

// The handle-count message: type 1 and one text byte of value 0, sent and
// received with a text size of 1. Every open mutex object keeps one queued.
struct HandleMessage {
    long type;
    char text[1];
};
constexpr long kHandleMessageType = 1;
constexpr size_t kHandleMessageText = 1;

// The fourth argument of semctl for SETVAL; the caller defines the union.
union SemaphoreArgument {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// The kernel orders semop calls, but the thread sanitizer cannot see that.
// Tell it that a release of a semaphore set happens before the next take of
// the same set; collisions of the table only add ordering, never hide any.
#if defined(__SANITIZE_THREAD__)
char sanitizerSyncTable[251];
void* sanitizerSyncAddress(int semaphoreId) {
    return &sanitizerSyncTable[static_cast<unsigned>(semaphoreId) % sizeof sanitizerSyncTable];
}
void announceAcquired(int semaphoreId) {
    __tsan_acquire(sanitizerSyncAddress(semaphoreId));
}
void announceReleasing(int semaphoreId) {
    __tsan_release(sanitizerSyncAddress(semaphoreId));
}
#else
void announceAcquired(int) {}
void announceReleasing(int) {}
#endif

// A copy of `text` allocated without throwing; null when out of memory.
char* copyOf(const char* text, size_t extra = 0) {
    const size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + extra + 1];
    if (copy != nullptr)
        std::memcpy(copy, text, length + 1);
    return copy;
}

// "/tmp/" + name + ".zovmutx", the prefix left out when present; null when
// out of memory.
char* keyFilePath(const char* name) {
    const bool prefixed = std::strncmp(name, kTmpPrefix, kTmpPrefixLength) == 0;
    const size_t size = (prefixed ? 0 : kTmpPrefixLength) + std::strlen(name) + sizeof kKeySuffix;
    char* path = new (std::nothrow) char[size];
    if (path != nullptr)
        std::snprintf(path, size, "%s%s%s", prefixed ? "" : kTmpPrefix, name, kKeySuffix);
    return path;
}

// The keys of the mutex objects open in this process, each with the path it
// was made from and the number of open objects of that path: a fixed table of
// chains whose entries are allocated without throwing. Used at construction
// and cleanup only, never by get or release. Never destroyed: objects may be
// cleaned up by destructors that run at process exit.
struct KeyHolder {
    key_t key;
    char* path;
    int objects;
    KeyHolder* next;
};
constexpr unsigned kRegistryChains = 1021;
KeyHolder* keyRegistry[kRegistryChains];
std::mutex keyRegistryLock;

KeyHolder** chainOf(key_t key) {
    return &keyRegistry[static_cast<unsigned>(key) % kRegistryChains];
}

KeyHolder* findHolder(key_t key) {
    for (KeyHolder* entry = *chainOf(key); entry != nullptr; entry = entry->next)
        if (entry->key == key)
            return entry;
    return nullptr;
}

enum class Registration { kDone, kTakenByAnother, kNoMemory };

// Records an object of `path` under `key`; refuses a key that an object of
// another path holds, copying that path into `holder`.
Registration registerKey(key_t key, const char* path, char* holder, size_t holderSize) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    KeyHolder* entry = findHolder(key);
    if (entry != nullptr) {
        if (std::strcmp(entry->path, path) != 0) {
            std::snprintf(holder, holderSize, "%s", entry->path);
            return Registration::kTakenByAnother;
        }
        ++entry->objects;
        return Registration::kDone;
    }
    entry = new (std::nothrow) KeyHolder{key, copyOf(path), 1, *chainOf(key)};
    if (entry == nullptr || entry->path == nullptr) {
        delete entry;
        return Registration::kNoMemory;
    }
    *chainOf(key) = entry;
    return Registration::kDone;
}

void unregisterKey(key_t key) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    for (KeyHolder** link = chainOf(key); *link != nullptr; link = &(*link)->next) {
        KeyHolder* entry = *link;
        if (entry->key != key)
            continue;
        if (--entry->objects <= 0) {
            *link = entry->next;
            delete[] entry->path;
            delete entry;
        }
        return;
    }
}

bool keyRegistered(key_t key) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    return findHolder(key) != nullptr;
}

// New key files whose keys are taken by other objects: how many rounds, how
// many files held at once in each, and at most how many inodes are used up
// before each further round. Then the name is given up (its mutex fails).
constexpr int kKeyFileRounds = 4;
constexpr int kCandidatesPerRound = 8;
constexpr unsigned kMaxInodesSkipped = 4096;
// Longer key file paths are made directly, without a temporary file.
constexpr size_t kTemporaryNameSize = 1024;
// How often a key file is opened again because a cleanup removed it between
// opening and locking, before giving up.
constexpr int kKeyFileReopens = 16;

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// One semop on semaphore 0 of the set; the system does not undo it when the
// process ends, so a take outlives a crash of its holder.
int changeSemaphore(int semaphoreId, short delta) {
    struct sembuf operation = {};
    operation.sem_num = 0;
    operation.sem_op = delta;
    operation.sem_flg = 0;
    return semop(semaphoreId, &operation, 1);
}

// Raises semaphore 0 from 0 to 1, failing at once when it is not 0.
bool raiseFromZero(int semaphoreId) {
    struct sembuf operations[2] = {};
    operations[0].sem_op = 0;
    operations[0].sem_flg = IPC_NOWAIT;
    operations[1].sem_op = 1;
    return semop(semaphoreId, operations, 2) == 0;
}

void refuseKeyFile(const char* path, const struct stat& found, const char* function) {
    const char* type = S_ISLNK(found.st_mode)   ? "a symbolic link"
                       : S_ISREG(found.st_mode) ? "a file"
                                                : "not a regular file";
    ZOV_String detail = ZOV_Format_Message("key file %s", path);
    ZOV_String reason = ZOV_Format_Message(
        "Found %s of user %u, mode %04o, %lu links; this process runs as user %u", type,
        static_cast<unsigned>(found.st_uid), static_cast<unsigned>(found.st_mode & 07777),
        static_cast<unsigned long>(found.st_nlink), static_cast<unsigned>(geteuid()));
    ZOV_ReportDegraded(ZOV_Degraded::kRefusal, function, detail.getcValue(), reason.getcValue());
}

// A failed msgget or semget: system limits are degraded monitoring (reported
// once, then counted), anything else a failure of this call.
void reportGetFailure(const char* call, const char* function) {
    const int error = errno;
    if (error == ENOSPC) {
        ZOV_ReportDegraded(ZOV_Degraded::kIpcLimit, function, call);
    } else {
        ZOV_LogSystemFailure(_ZOV_UNIT_, __LINE__, call, function, error);
    }
}

// A random number below `bound` that another user cannot foresee.
unsigned randomBelow(unsigned bound) {
    unsigned value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        value = static_cast<unsigned>(now.tv_nsec) ^ static_cast<unsigned>(getpid()) * 2654435761u;
    }
    return bound > 0 ? value % bound : 0;
}

// "<path>.new<pid>.<random>": beside the key file (same device), no key file
// suffix. False when the name does not fit.
bool temporaryName(const char* path, char (&name)[kTemporaryNameSize]) {
    const int length = std::snprintf(name, sizeof name, "%s.new%d.%08x", path,
                                     static_cast<int>(getpid()), randomBelow(~0u));
    return length > 0 && length < static_cast<int>(sizeof name);
}

// Makes the empty file `name` (this process's own, in a sticky directory:
// nobody else can replace it, so ftok reads the file just made).
bool makeEmptyFile(const char* name) {
    const int fd = open(name, kOpenFlags | O_CREAT | O_EXCL, kPermissions);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Uses up a random number of inode numbers of the directory's file system,
// so that the next files' inodes, and with them their keys, cannot be told
// in advance by someone who squats the keys of the next inodes in order.
void skipInodes(const char* path) {
    char scratch[kTemporaryNameSize];
    for (unsigned n = 1 + randomBelow(kMaxInodesSkipped); n > 0; --n) {
        if (!temporaryName(path, scratch) || !makeEmptyFile(scratch))
            return;
        unlink(scratch);
    }
}

// Publishes `candidate` under `path` without ever giving the file a second
// link (a key file with two links is refused by its openers); false when
// `path` exists (another process published first) or it failed.
bool publish(const char* candidate, const char* path) {
    if (renameat2(AT_FDCWD, candidate, AT_FDCWD, path, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // No such rename on this file system: link, then drop the other name.
    const bool linked = link(candidate, path) == 0;
    const int error = errno;
    unlink(candidate);
    errno = error;
    return linked;
}

enum class KeyFileSearch { kPublished, kEveryKeyTaken, kNoTemporaryFile };

// Rounds of kCandidatesPerRound new files held at once; one whose key is free
// is chosen at random among them and published. Before each further round a
// random number of inodes is used up. Every other candidate is removed.
KeyFileSearch searchKeyFile(const char* path, bool (*keyInUse)(key_t)) {
    for (int round = 0; round < kKeyFileRounds; ++round) {
        if (round > 0)
            skipInodes(path);
        char names[kCandidatesPerRound][kTemporaryNameSize];
        int made = 0;
        int usable[kCandidatesPerRound];
        int free = 0;
        for (; made < kCandidatesPerRound; ++made) {
            if (!temporaryName(path, names[made]) || !makeEmptyFile(names[made]))
                break;
            const key_t key = ftok(names[made], kProjectId);
            if (key != -1 && !keyInUse(key))
                usable[free++] = made;
        }
        if (made == 0)
            return KeyFileSearch::kNoTemporaryFile;
        const int chosen = free > 0 ? usable[randomBelow(static_cast<unsigned>(free))] : -1;
        const bool renamed = chosen >= 0 && publish(names[chosen], path);
        // Another process may have published the name meanwhile: its file is
        // the one (the opener checks it).
        const bool published = renamed || (chosen >= 0 && errno == EEXIST);
        for (int i = 0; i < made; ++i) {
            if (i != chosen || !renamed)
                unlink(names[i]);
        }
        if (published)
            return KeyFileSearch::kPublished;
        if (chosen >= 0)
            return KeyFileSearch::kNoTemporaryFile;  // publishing failed: the direct way
    }
    return KeyFileSearch::kEveryKeyTaken;
}

}  // namespace

bool ZOV_MutexKeyInUse(key_t key) {
    if (keyRegistered(key))
        return true;
    if (semget(key, 0, 0) >= 0 || errno != ENOENT)
        return true;
    return msgget(key, 0) >= 0 || errno != ENOENT;
}

bool ZOV_CreateKeyFile(const char* path, bool (*keyInUse)(key_t), const char* function) {
    // Only beside an absolute path: an empty one must fail, not make files
    // in the working directory.
    const KeyFileSearch search =
        path[0] == '/' ? searchKeyFile(path, keyInUse) : KeyFileSearch::kNoTemporaryFile;
    if (search == KeyFileSearch::kPublished)
        return true;
    if (search == KeyFileSearch::kEveryKeyTaken) {
        ZOV_String detail = ZOV_Format_Message("key file %s", path);
        ZOV_String reason =
            ZOV_Format_Message("The keys of %d new files for it are held by other objects or names",
                               kKeyFileRounds * kCandidatesPerRound);
        ZOV_ReportDegraded(ZOV_Degraded::kRefusal, function, detail.getcValue(),
                           reason.getcValue());
        return false;
    }
    // No temporary file here (a long name, say): the file is made directly.
    const int fd = open(path, kOpenFlags | O_CREAT | O_EXCL, kPermissions);
    if (fd < 0 && errno != EEXIST) {
        ZOV_LOG_SYSTEM_FAILED("open", function);
        return false;
    }
    if (fd >= 0 && close(fd) != 0)
        ZOV_LOG_SYSTEM_FAILED("close", function);
    return true;
}

ZOV_Key_File_Lock::ZOV_Key_File_Lock(const char* path, bool (*keyInUse)(key_t),
                                     const char* function) {
    bool again = true;
    for (int attempt = 0; again && attempt < kKeyFileReopens; ++attempt)
        current = openOnce(path, keyInUse, function, again);
    if (again) {
        ZOV_String detail = ZOV_Format_Message("Key file %s keeps changing", path);
        ZOV_LOG_CALL_FAILED("open", function, detail.getcValue());
    }
}

ZOV_Key_File_Lock::~ZOV_Key_File_Lock() {
    if (fd >= 0)
        close(fd);  // ends the lock
}

ZOV_Key_File_Lock::State ZOV_Key_File_Lock::openOnce(const char* path, bool (*keyInUse)(key_t),
                                                     const char* function, bool& again) {
    again = false;
    fd = open(path, kOpenFlags);
    if (fd < 0) {
        const int error = errno;
        struct stat found = {};
        if (error == ENOENT && keyInUse != nullptr) {
            if (!ZOV_CreateKeyFile(path, keyInUse, function))
                return State::kFailed;
            made = true;
            again = true;
            return State::kFailed;
        }
        if (error == ENOENT)
            return State::kMissing;
        // A link, or a file of another user that this one may not read.
        if ((error == ELOOP || error == EACCES) && lstat(path, &found) == 0 &&
            (error == ELOOP || !ZOV_Trusted_Users().contains(found.st_uid))) {
            refuseKeyFile(path, found, function);
            return State::kRefused;
        }
        ZOV_LogSystemFailure(_ZOV_UNIT_, __LINE__, "open", function, error);
        return State::kFailed;
    }
    struct stat opened = {};
    // A second link could be a file of anyone, placed under this name: its
    // cleanup could not remove it, and what it names is not the library's.
    // Key files of the library are published by a rename, never linked.
    if (fstat(fd, &opened) != 0 ||
        ZOV_CheckKeyFile(opened, ZOV_Trusted_Users(), true) != ZOV_Refusal::kNone) {
        refuseKeyFile(path, opened, function);
        close(fd);
        fd = -1;
        return State::kRefused;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // A cleanup that held the lock before may have removed the file: the
    // path then names nothing or a newer file, and this one is dead.
    struct stat named = {};
    const bool same = lstat(path, &named) == 0 && named.st_dev == opened.st_dev &&
                      named.st_ino == opened.st_ino && fstat(fd, &opened) == 0 &&
                      opened.st_nlink > 0;
    // The path names this process's user's own regular file in a sticky
    // directory, so ftok reads the locked file.
    fileKey = same ? ftok(path, kProjectId) : -1;
    if (fileKey == -1) {
        close(fd);
        fd = -1;
        again = true;
        return State::kFailed;
    }
    return State::kHeld;
}

ZOV_Name_Mutex::ZOV_Name_Mutex(const char* name) {
    static constexpr char fn[] = "ZOV_Name_Mutex::ZOV_Name_Mutex";
    ZOV_ENTRY(fn);
    if (name != nullptr) {
        path = keyFilePath(name);
        if (path == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(fn);
            status = ZOV_STATUS_FAILED;
            ZOV_EXIT(fn);
            return;
        }
    }
    ZOV_TRACE(fn, "Initializing mutex %s", getPath());

    // Everything up to the queued handle message happens under the key
    // file's lock, so that no cleanup of the name runs in between.
    ZOV_Key_File_Lock lock(getPath(), ZOV_MutexKeyInUse, fn);
    const key_t key = lock.key();
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(lock.madeFile() ? -1 : key), getPath());
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(key), getPath());
    if (!lock.held()) {
        status = ZOV_STATUS_FAILED;  // reported by the lock
        ZOV_EXIT(fn);
        return;
    }

    // A second name on a key this process holds would share its semaphore:
    // a thread holding one and asking for the other would wait for itself.
    char holder[4096];
    const Registration registration = registerKey(key, path, holder, sizeof holder);
    if (registration == Registration::kDone) {
        registeredKey = key;
    } else if (registration == Registration::kNoMemory) {
        ZOV_LOG_ALLOCATION_ERROR(fn);  // goes on, unchecked
    } else {
        ZOV_String detail = ZOV_Format_Message("Key %08X of %s is held by %s",
                                               static_cast<unsigned>(key), path, holder);
        ZOV_LOG_CALL_FAILED("ftok", fn, detail.getcValue());
        status = ZOV_STATUS_FAILED;
    }
    if (status == 0 && !openObjects(key))
        status = ZOV_STATUS_FAILED;
    if (status != 0 && registeredKey != -1) {
        unregisterKey(registeredKey);
        registeredKey = -1;
    }
    ZOV_EXIT(fn);
}

// Under the key file lock: opens or creates queue and semaphore set, checks
// the ones found, and queues this object's handle message. On failure
// removes only what it created itself (nobody can have joined: the lock is
// held and no handle message was queued) and returns false.
bool ZOV_Name_Mutex::openObjects(key_t key) {
    static constexpr char fn[] = "ZOV_Name_Mutex::ZOV_Name_Mutex";
    bool createdQueue = false;
    bool createdSet = false;
    bool usable = true;

    queueId = msgget(key, IPC_CREAT | IPC_EXCL | kPermissions);
    createdQueue = queueId >= 0;
    if (!createdQueue && errno == EEXIST)
        queueId = msgget(key, 0);
    if (queueId < 0) {
        reportGetFailure("msgget", fn);
        usable = false;
    } else if (!createdQueue) {
        struct msqid_ds found = {};
        usable = msgctl(queueId, IPC_STAT, &found) == 0
                     ? ZOV_TrustIpcObject(found.msg_perm, "message queue", key, path, fn)
                     : (ZOV_LOG_SYSTEM_FAILED("msgctl IPC_STAT", fn), false);
    }

    if (usable) {
        semaphoreId = semget(key, 1, IPC_CREAT | IPC_EXCL | kPermissions);
        createdSet = semaphoreId >= 0;
        if (!createdSet && errno == EEXIST)
            semaphoreId = semget(key, 1, 0);
        if (semaphoreId < 0) {
            reportGetFailure("semget", fn);
            usable = false;
        }
    }
    if (usable && createdSet) {
        // Raised with semop, not SETVAL: the semop time then tells joiners
        // that the creator finished.
        if (changeSemaphore(semaphoreId, +1) != 0)
            ZOV_LOG_SYSTEM_FAILED("semop", fn);
    } else if (usable) {
        struct semid_ds found = {};
        SemaphoreArgument argument = {};
        argument.buf = &found;
        usable = semctl(semaphoreId, 0, IPC_STAT, argument) == 0
                     ? ZOV_TrustIpcObject(found.sem_perm, "semaphore set", key, path, fn)
                     : (ZOV_LOG_SYSTEM_FAILED("semctl IPC_STAT", fn), false);
        // Never operated on, and its creator no longer holds the key file
        // lock: it died before raising the set to 1. Raised only from 0, in
        // one step, so a set someone set to 1 without a semop stays at 1.
        if (usable && found.sem_otime == 0 && raiseFromZero(semaphoreId)) {
            ZOV_String detail =
                ZOV_Format_Message("semaphore set %08X of %s", static_cast<unsigned>(key), path);
            ZOV_LogMessage(_ZOV_UNIT_, __LINE__, fn, ZOV_MSG_RECOVERED, detail.getcValue(), fn,
                           "Its creator ended before setting it to 1: set to 1");
        }
    }

    if (!usable) {
        if (createdSet && semctl(semaphoreId, 0, IPC_RMID) != 0)
            ZOV_LOG_SYSTEM_FAILED("semctl IPC_RMID", fn);
        if (createdQueue && msgctl(queueId, IPC_RMID, nullptr) != 0)
            ZOV_LOG_SYSTEM_FAILED("msgctl IPC_RMID", fn);
        if (createdSet && createdQueue && unlink(path) != 0)
            ZOV_LOG_SYSTEM_FAILED("unlink", fn);
        semaphoreId = kNoId;
        queueId = kNoId;
        return false;
    }
    const HandleMessage message = {kHandleMessageType, {0}};
    if (msgsnd(queueId, &message, kHandleMessageText, IPC_NOWAIT) != 0)
        ZOV_LOG_SYSTEM_FAILED("msgsnd", fn);
    return true;
}

ZOV_Name_Mutex::~ZOV_Name_Mutex() {
    static constexpr char fn[] = "ZOV_Name_Mutex::~ZOV_Name_Mutex";
    ZOV_ENTRY(fn);
    cleanup();
    delete[] path;
    ZOV_EXIT(fn);
}

// Untraced, the switch is read once: taking and releasing are on every
// message's path.
bool ZOV_Name_Mutex::get() {
    static constexpr char fn[] = "ZOV_Name_Mutex::get";
    if (!bZOVTracing) [[likely]] {
        if (changeSemaphore(semaphoreId, -1) != 0) [[unlikely]]
            return getAgain();
        announceAcquired(semaphoreId);
        return true;
    }
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Asking for mutex %s", getPath());
    if (changeSemaphore(semaphoreId, -1) != 0)
        return getAgain();
    announceAcquired(semaphoreId);
    ZOV_TRACE(fn, "Got mutex %s", getPath());
    ZOV_EXIT(fn);
    return true;
}

// The rest of get() after a failed semop, out of the way of the usual path:
// a signal is no failure to take it; anything else is reported.
bool ZOV_Name_Mutex::getAgain() {
    static constexpr char fn[] = "ZOV_Name_Mutex::get";
    int rc = -1;
    while (rc != 0 && errno == EINTR)
        rc = changeSemaphore(semaphoreId, -1);
    if (rc != 0) {
        ZOV_LOG_SYSTEM_FAILED("semop", fn);
    } else {
        announceAcquired(semaphoreId);
        ZOV_TRACE(fn, "Got mutex %s", getPath());
    }
    ZOV_EXIT(fn);
    return rc == 0;
}

void ZOV_Name_Mutex::release() {
    static constexpr char fn[] = "ZOV_Name_Mutex::release";
    if (!bZOVTracing) [[likely]] {
        announceReleasing(semaphoreId);
        if (changeSemaphore(semaphoreId, +1) != 0) [[unlikely]]
            ZOV_LOG_SYSTEM_FAILED("semop", fn);
        return;
    }
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "About to release mutex %s", getPath());
    announceReleasing(semaphoreId);
    if (changeSemaphore(semaphoreId, +1) != 0)
        ZOV_LOG_SYSTEM_FAILED("semop", fn);
    ZOV_TRACE(fn, "Released mutex %s", getPath());
    ZOV_EXIT(fn);
}

void ZOV_Name_Mutex::cleanup() {
    static constexpr char fn[] = "ZOV_Name_Mutex::cleanup";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Handle %0X", static_cast<unsigned>(semaphoreId));
    if (queueId >= 0) {
        // Deciding "last handle" and removing happen under the key file lock
        // that every join takes. Without the file (removed by hand) the
        // objects are still given up; an unlocked file is never unlinked.
        const ZOV_Key_File_Lock lock(getPath(), nullptr, fn);
        leave(lock.held());
    }
    if (registeredKey != -1)
        unregisterKey(registeredKey);
    registeredKey = -1;
    semaphoreId = kNoId;
    queueId = kNoId;
    ZOV_EXIT(fn);
}

// Takes this object's handle message back; the last one removes queue,
// semaphore set and, when `fileLocked`, the key file.
void ZOV_Name_Mutex::leave(bool fileLocked) {
    static constexpr char fn[] = "ZOV_Name_Mutex::cleanup";
    HandleMessage message = {};
    if (msgrcv(queueId, &message, kHandleMessageText, kHandleMessageType, IPC_NOWAIT) < 0) {
        ZOV_LOG_SYSTEM_FAILED("msgrcv", fn);
        return;
    }
    struct msqid_ds queueStatus = {};
    const bool statusRead = msgctl(queueId, IPC_STAT, &queueStatus) == 0;
    if (!statusRead) {
        ZOV_LOG_SYSTEM_FAILED("msgctl IPC_STAT", fn);
    } else if (queueStatus.msg_qnum > 0) {
        ZOV_TRACE(fn, "Messages in queue : %Li", static_cast<long long>(queueStatus.msg_qnum));
        return;
    }
    // That was the last handle on the machine, or the queue's status is
    // unknown: the set and key file go, the queue only when it was seen empty.
    if (statusRead && msgctl(queueId, IPC_RMID, nullptr) != 0)
        ZOV_LOG_SYSTEM_FAILED("msgctl IPC_RMID", fn);
    if (semaphoreId < 0)
        return;
    ZOV_TRACE(fn, "Deleting Semaphore");
    if (semctl(semaphoreId, 1, IPC_RMID) != 0) {
        ZOV_LOG_SYSTEM_FAILED("semctl IPC_RMID", fn);
    } else if (fileLocked && unlink(getPath()) != 0) {
        ZOV_LOG_SYSTEM_FAILED("unlink", fn);
    }
}
