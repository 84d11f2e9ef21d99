// ZOV_Name_Mutex: a non-recursive lock that every thread of every process on
// the machine reaches by name. Three operating-system objects hang off one
// ftok key:
//   - the key file "/tmp/" + name + ".zovmutx" (no prefix when the name
//     already starts with "/tmp/"),
//   - a System V semaphore set of one semaphore, initial value 1: the lock,
//   - a System V message queue holding one 1-byte message (type 1) per open
//     mutex object on the machine: the handle count. The cleanup that takes
//     the last message out removes queue, semaphore set and key file.
//
// Key collisions. ftok makes a key of 8 bits of the key file's device and
// the low 16 bits of its inode, so two names can get one key and with it one
// semaphore set and one queue. Two defences:
//   - a new key file is made under a temporary name first and published
//     (link) only when its key names no semaphore set or queue yet;
//   - each process keeps the keys of its open mutexes with their paths and
//     refuses (status 301, reported) a second path with a key already held:
//     a thread holding one name and asking for another on the same semaphore
//     would wait for itself.
#pragma once

#include <sys/types.h>

#include <string>

class ZOV_Name_Mutex {
public:
    static constexpr int kNoId = -1;  // an identifier field that holds none

    explicit ZOV_Name_Mutex(const char* name);
    ~ZOV_Name_Mutex();
    ZOV_Name_Mutex(const ZOV_Name_Mutex&) = delete;
    ZOV_Name_Mutex& operator=(const ZOV_Name_Mutex&) = delete;

    void get();      // waits until free, then takes it
    void release();  // frees it
    // Gives up this object's handle; the last handle on the machine removes
    // the IPC objects and the key file. Safe to call twice.
    void cleanup();

    const std::string& getPath() const { return path; }

    int status = 0;
    int semaphoreId = kNoId;
    int queueId = kNoId;
    std::string path;

private:
    // The key this object holds in the process's key registry, or -1.
    key_t registeredKey = -1;
};

// Makes the key file `path` (mode 0660) so that its ftok key is not one that
// `keyInUse` reports taken: a file is made under a temporary name in the same
// directory, its key checked, and the file linked to `path`; a taken key is
// reported (message 2, "ftok") and another file made. When no temporary file
// can be made the file is created directly. False when no file could be made
// ("open" reported under `function`).
bool ZOV_CreateKeyFile(const std::string& path, bool (*keyInUse)(key_t), const char* function);
// A semaphore set or queue exists under `key`, or this process holds it.
bool ZOV_MutexKeyInUse(key_t key);
