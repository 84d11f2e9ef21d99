#include "zov/core/zovcmutx.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/stat.h>
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

// How many fresh key files are tried before one is taken whatever its key.
constexpr int kKeyFileAttempts = 8;
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
    ZOV_String reason =
        ZOV_Format_Message("Found %s of user %u, this process runs as user %u", type,
                           static_cast<unsigned>(found.st_uid), static_cast<unsigned>(geteuid()));
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

}  // namespace

bool ZOV_MutexKeyInUse(key_t key) {
    if (keyRegistered(key))
        return true;
    if (semget(key, 0, 0) >= 0 || errno != ENOENT)
        return true;
    return msgget(key, 0) >= 0 || errno != ENOENT;
}

bool ZOV_CreateKeyFile(const char* path, bool (*keyInUse)(key_t), const char* function) {
    // Temporary files "<path>.new<pid>.<attempt>" lie beside the key file
    // (same device) and do not end in a key file suffix. Refused ones are
    // kept until the end so that their inodes stay taken.
    char candidate[4096];
    const auto candidateName = [&](int attempt) {
        const int length = std::snprintf(candidate, sizeof candidate, "%s.new%d.%d", path,
                                         static_cast<int>(getpid()), attempt);
        return length > 0 && length < static_cast<int>(sizeof candidate);
    };
    int refused = 0;
    bool made = false;
    bool fallBack = true;
    // Only beside an absolute path: an empty one must fail, not make files
    // in the working directory.
    const int attempts = path[0] == '/' ? kKeyFileAttempts : 0;
    for (int attempt = 0; attempt < attempts && !made; ++attempt) {
        const int fd = candidateName(attempt)
                           ? open(candidate, kOpenFlags | O_CREAT | O_EXCL, kPermissions)
                           : -1;
        if (fd < 0)
            break;  // no temporary file here (a long name, say): make the file directly
        if (close(fd) != 0)
            ZOV_LOG_SYSTEM_FAILED("close", function);
        // The candidate is this process's own file in a sticky directory:
        // nobody else can replace it, so ftok reads the file just made.
        const key_t key = ftok(candidate, kProjectId);
        if (key != -1 && !keyInUse(key)) {
            // Another process may have published the name meanwhile: its
            // file is the one (the opener checks it), and this candidate goes.
            made = link(candidate, path) == 0 || errno == EEXIST;
            fallBack = !made;
            unlink(candidate);
            break;
        }
        ZOV_String detail =
            ZOV_Format_Message("Key %08X of a new key file for %s is taken: another file is made",
                               static_cast<unsigned>(key), path);
        ZOV_LOG_CALL_FAILED("ftok", function, detail.getcValue());
        ++refused;
    }
    for (int attempt = 0; attempt < refused; ++attempt) {
        if (candidateName(attempt))
            unlink(candidate);
    }
    if (!made && fallBack) {
        const int fd = open(path, kOpenFlags | O_CREAT | O_EXCL, kPermissions);
        if (fd < 0 && errno != EEXIST) {
            ZOV_LOG_SYSTEM_FAILED("open", function);
            return false;
        }
        if (fd >= 0 && close(fd) != 0)
            ZOV_LOG_SYSTEM_FAILED("close", function);
    }
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
        if (error == ELOOP && lstat(path, &found) == 0) {
            refuseKeyFile(path, found, function);
            return State::kRefused;
        }
        ZOV_LogSystemFailure(_ZOV_UNIT_, __LINE__, "open", function, error);
        return State::kFailed;
    }
    struct stat opened = {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !ZOV_TrustedUser(opened.st_uid)) {
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

void ZOV_Name_Mutex::get() {
    static constexpr char fn[] = "ZOV_Name_Mutex::get";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Asking for mutex %s", getPath());
    if (changeSemaphore(semaphoreId, -1) != 0)
        ZOV_LOG_SYSTEM_FAILED("semop", fn);
    announceAcquired(semaphoreId);
    ZOV_TRACE(fn, "Got mutex %s", getPath());
    ZOV_EXIT(fn);
}

void ZOV_Name_Mutex::release() {
    static constexpr char fn[] = "ZOV_Name_Mutex::release";
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
    if (msgctl(queueId, IPC_STAT, &queueStatus) != 0) {
        ZOV_LOG_SYSTEM_FAILED("msgctl IPC_STAT", fn);
    } else if (queueStatus.msg_qnum > 0) {
        ZOV_TRACE(fn, "Messages in queue : %Li", static_cast<long long>(queueStatus.msg_qnum));
        return;
    }
    // That was the last handle on the machine.
    if (msgctl(queueId, IPC_RMID, nullptr) != 0)
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
