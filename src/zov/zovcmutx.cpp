#include "zov/zovcmutx.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "zov/zovctool.h"

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

std::string keyFilePath(const char* name) {
    std::string path;
    if (std::strncmp(name, kTmpPrefix, kTmpPrefixLength) != 0)
        path = kTmpPrefix;
    path += name;
    path += kKeySuffix;
    return path;
}

// The keys of the mutex objects open in this process, each with the path it
// was made from and the number of open objects of that path. Used at
// construction and cleanup only, never by get or release. Never destroyed:
// objects may be cleaned up by destructors that run at process exit.
struct KeyHolder {
    std::string path;
    int objects = 0;
};
std::mutex keyRegistryLock;
std::map<key_t, KeyHolder>& keyRegistry() {
    static auto* registry = new std::map<key_t, KeyHolder>;
    return *registry;
}

enum class Registration { kDone, kTakenByAnother, kNoMemory };

// Records an object of `path` under `key`; refuses a key that an object of
// another path holds. `holder` receives that path.
Registration registerKey(key_t key, const std::string& path, std::string& holder) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    try {
        KeyHolder& entry = keyRegistry()[key];
        if (entry.objects > 0 && entry.path != path) {
            holder = entry.path;
            return Registration::kTakenByAnother;
        }
        if (entry.objects == 0)
            entry.path = path;
        ++entry.objects;
        return Registration::kDone;
    } catch (const std::bad_alloc&) {
        return Registration::kNoMemory;
    }
}

void unregisterKey(key_t key) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    const auto entry = keyRegistry().find(key);
    if (entry != keyRegistry().end() && --entry->second.objects <= 0)
        keyRegistry().erase(entry);
}

bool keyRegistered(key_t key) {
    const std::lock_guard<std::mutex> guard(keyRegistryLock);
    return keyRegistry().count(key) != 0;
}

// How many fresh key files are tried before one is taken whatever its key.
constexpr int kKeyFileAttempts = 8;

// "<path>.new<pid>.<attempt>": beside the key file (same device), and not
// ending in a key file suffix, so that nothing takes it for one.
std::string temporaryKeyFile(const std::string& path, int attempt) {
    return path + ".new" + std::to_string(getpid()) + "." + std::to_string(attempt);
}

// One semop on semaphore 0 of the set; the system does not undo it when the
// process ends, so a take outlives a crash of its holder.
int changeSemaphore(int semaphoreId, short delta) {
    struct sembuf operation = {};
    operation.sem_num = 0;
    operation.sem_op = delta;
    operation.sem_flg = 0;
    return semop(semaphoreId, &operation, 1);
}

}  // namespace

bool ZOV_MutexKeyInUse(key_t key) {
    if (keyRegistered(key))
        return true;
    if (semget(key, 0, 0) >= 0 || errno != ENOENT)
        return true;
    return msgget(key, 0) >= 0 || errno != ENOENT;
}

bool ZOV_CreateKeyFile(const std::string& path, bool (*keyInUse)(key_t), const char* function) {
    std::vector<std::string> refused;  // kept until the end: their inodes stay taken
    bool made = false;
    bool fallBack = true;
    // Only beside an absolute path: an empty one must fail, not make files
    // in the working directory.
    const int attempts = !path.empty() && path[0] == '/' ? kKeyFileAttempts : 0;
    for (int attempt = 0; attempt < attempts && !made; ++attempt) {
        const std::string candidate = temporaryKeyFile(path, attempt);
        const int fd = open(candidate.c_str(), O_RDONLY | O_CREAT | O_EXCL, kPermissions);
        if (fd < 0)
            break;  // no temporary file here (a long name, say): make the file directly
        if (close(fd) != 0)
            ZOV_LOG_SYSTEM_FAILED("close", function);
        const key_t key = ftok(candidate.c_str(), kProjectId);
        if (key != -1 && !keyInUse(key)) {
            // Another process may have published the name meanwhile: its
            // file is the one, and this candidate goes.
            made = link(candidate.c_str(), path.c_str()) == 0 || errno == EEXIST;
            fallBack = !made;
            unlink(candidate.c_str());
            break;
        }
        ZOV_String detail = ZOV_Format_Message(
            "Key %08X of a new key file for %s is taken: another file is made",
            static_cast<unsigned>(key), path.c_str());
        ZOV_LOG_CALL_FAILED("ftok", function, detail.getcValue());
        refused.push_back(candidate);
    }
    for (const std::string& candidate : refused)
        unlink(candidate.c_str());
    if (!made && fallBack) {
        const int fd = open(path.c_str(), O_RDONLY | O_CREAT, kPermissions);
        if (fd < 0) {
            ZOV_LOG_SYSTEM_FAILED("open", function);
            return false;
        }
        if (close(fd) != 0)
            ZOV_LOG_SYSTEM_FAILED("close", function);
    }
    return true;
}

ZOV_Name_Mutex::ZOV_Name_Mutex(const char* name) {
    static constexpr char fn[] = "ZOV_Name_Mutex::ZOV_Name_Mutex";
    ZOV_ENTRY(fn);
    if (name != nullptr)
        path = keyFilePath(name);
    ZOV_TRACE(fn, "Initializing mutex %s", path.c_str());

    key_t key = ftok(path.c_str(), kProjectId);
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(key), path.c_str());
    if (key == -1) {
        // No key file yet: make one whose key no other name uses.
        if (ZOV_CreateKeyFile(path, ZOV_MutexKeyInUse, fn)) {
            key = ftok(path.c_str(), kProjectId);
        } else {
            status = ZOV_STATUS_FAILED;
            cleanup();
        }
    }
    ZOV_TRACE(fn, "ftok = %08X %s", static_cast<unsigned>(key), path.c_str());
    if (status == 0 && key == -1) {
        // The file vanished between open and ftok (the last handle of another
        // object removed it): no usable key, and -1 would name a foreign queue.
        ZOV_LOG_SYSTEM_FAILED("ftok", fn);
        status = ZOV_STATUS_FAILED;
        cleanup();
    }

    if (status == 0) {
        // A second name on a key this process holds would share its semaphore:
        // a thread holding one and asking for the other would wait for itself.
        std::string holder;
        const Registration registration = registerKey(key, path, holder);
        if (registration == Registration::kDone) {
            registeredKey = key;
        } else if (registration == Registration::kNoMemory) {
            ZOV_LOG_ALLOCATION_ERROR(fn);  // goes on, unchecked
        } else {
            ZOV_String detail = ZOV_Format_Message("Key %08X of %s is held by %s",
                                                   static_cast<unsigned>(key), path.c_str(),
                                                   holder.c_str());
            ZOV_LOG_CALL_FAILED("ftok", fn, detail.getcValue());
            status = ZOV_STATUS_FAILED;
            cleanup();
        }
    }

    if (status == 0) {
        queueId = msgget(key, IPC_CREAT | kPermissions);
        if (queueId >= 0) {
            const HandleMessage message = {kHandleMessageType, {0}};
            if (msgsnd(queueId, &message, kHandleMessageText, IPC_NOWAIT) != 0) {
                ZOV_LOG_SYSTEM_FAILED("msgsnd", fn);
            }
        } else {
            queueId = kNoId;
            ZOV_LOG_SYSTEM_FAILED("msgget", fn);
            status = ZOV_STATUS_FAILED;
            cleanup();
        }
    }

    if (status == 0) {
        // Exclusive creation decides which object sets the initial value; an
        // object that opens a set not yet initialised waits in get() until the
        // creator's SETVAL.
        semaphoreId = semget(key, 1, IPC_CREAT | IPC_EXCL | kPermissions);
        if (semaphoreId >= 0) {
            SemaphoreArgument argument = {};
            argument.val = 1;
            if (semctl(semaphoreId, 0, SETVAL, argument) != 0)
                ZOV_LOG_SYSTEM_FAILED("semctl", fn);
        } else if (errno == EEXIST) {
            semaphoreId = semget(key, 1, IPC_CREAT | kPermissions);
        }
        if (semaphoreId < 0) {
            semaphoreId = kNoId;
            ZOV_LOG_SYSTEM_FAILED("semget", fn);
            status = ZOV_STATUS_FAILED;
            cleanup();
        }
    }
    ZOV_EXIT(fn);
}

ZOV_Name_Mutex::~ZOV_Name_Mutex() {
    static constexpr char fn[] = "ZOV_Name_Mutex::~ZOV_Name_Mutex";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_Name_Mutex::get() {
    static constexpr char fn[] = "ZOV_Name_Mutex::get";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Asking for mutex %s", path.c_str());
    if (changeSemaphore(semaphoreId, -1) != 0)
        ZOV_LOG_SYSTEM_FAILED("semop", fn);
    announceAcquired(semaphoreId);
    ZOV_TRACE(fn, "Got mutex %s", path.c_str());
    ZOV_EXIT(fn);
}

void ZOV_Name_Mutex::release() {
    static constexpr char fn[] = "ZOV_Name_Mutex::release";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "About to release mutex %s", path.c_str());
    announceReleasing(semaphoreId);
    if (changeSemaphore(semaphoreId, +1) != 0)
        ZOV_LOG_SYSTEM_FAILED("semop", fn);
    ZOV_TRACE(fn, "Released mutex %s", path.c_str());
    ZOV_EXIT(fn);
}

void ZOV_Name_Mutex::cleanup() {
    static constexpr char fn[] = "ZOV_Name_Mutex::cleanup";
    ZOV_ENTRY(fn);
    ZOV_TRACE(fn, "Handle %0X", static_cast<unsigned>(semaphoreId));
    bool remove = false;
    if (queueId >= 0) {
        HandleMessage message = {};
        if (msgrcv(queueId, &message, kHandleMessageText, kHandleMessageType, IPC_NOWAIT) >= 0) {
            struct msqid_ds queueStatus = {};
            if (msgctl(queueId, IPC_STAT, &queueStatus) == 0) {
                if (queueStatus.msg_qnum > 0) {
                    ZOV_TRACE(fn, "Messages in queue : %Li",
                              static_cast<long long>(queueStatus.msg_qnum));
                } else {
                    // That was the last handle on the machine.
                    remove = true;
                    if (msgctl(queueId, IPC_RMID, nullptr) != 0) {
                        ZOV_LOG_SYSTEM_FAILED("msgctl IPC_RMID", fn);
                    }
                }
            } else {
                ZOV_LOG_SYSTEM_FAILED("msgctl IPC_STAT", fn);
                remove = true;
            }
        } else {
            ZOV_LOG_SYSTEM_FAILED("msgrcv", fn);
        }
    }
    if (semaphoreId >= 0 && remove) {
        ZOV_TRACE(fn, "Deleting Semaphore");
        if (semctl(semaphoreId, 1, IPC_RMID) == 0) {
            if (unlink(path.c_str()) != 0)
                ZOV_LOG_SYSTEM_FAILED("unlink", fn);
        } else {
            ZOV_LOG_SYSTEM_FAILED("semctl IPC_RMID", fn);
        }
    }
    if (registeredKey != -1)
        unregisterKey(registeredKey);
    registeredKey = -1;
    semaphoreId = kNoId;
    queueId = kNoId;
    ZOV_EXIT(fn);
}
