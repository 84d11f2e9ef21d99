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
// Joining and leaving a name. Construction (open or create the set and queue,
// queue the handle message) and the cleanup that decides it holds the last
// handle and removes everything both run under an exclusive flock on the key
// file itself; after taking the lock each checks that the path still names
// the locked file, else starts over. So a join never lands on objects that a
// cleanup is removing. The creator of a semaphore set raises it to 1 with a
// semop under that lock: a joiner that holds the lock and finds a set never
// operated on knows its creator died before that step and raises it itself.
//
// Trust. Key files are opened with O_NOFOLLOW and created with O_EXCL; one
// that is not a regular file of one link owned by this process's effective
// user (or root), or a file of another user it may not open, is refused. A semaphore set or queue
// that this process did not create is checked with IPC_STAT: another user as owner or creator (root
// aside), or a mode wider than 0660, is refused. A refused object is never
// used, changed or removed; the construction fails (status 301) and the
// refusal is reported once (ZOV_ReportDegraded).
//
// Key collisions. ftok makes a key of 8 bits of the key file's device and
// the low 16 bits of its inode, so two names can get one key and with it one
// semaphore set and one queue. Two defences:
//   - a new key file is made under a temporary name first and published
//     (renamed, never replacing) only when its key names no semaphore set or
//     queue yet. Several are made at once and one with a free key chosen at
//     random; when every key is taken, a random number of inodes is used up
//     before the next few, so that squatting the keys of the next inodes in
//     order does not keep a name from its mutex. After a bounded number of
//     rounds the name is given up (refused, reported once);
//   - each process keeps the keys of its open mutexes with their paths and
//     refuses (status 301, reported) a second path with a key already held:
//     a thread holding one name and asking for another on the same semaphore
//     would wait for itself.
#pragma once

#include <sys/types.h>

#include <string>

#include "zov/core/zovctrus.h"

class ZOV_Name_Mutex {
  public:
    static constexpr int kNoId = -1;  // an identifier field that holds none

    explicit ZOV_Name_Mutex(const char* name);
    ~ZOV_Name_Mutex();
    ZOV_Name_Mutex(const ZOV_Name_Mutex&) = delete;
    ZOV_Name_Mutex& operator=(const ZOV_Name_Mutex&) = delete;

    // Waits until free, then takes it. False when it could not be taken
    // (the set was removed or never made; reported): the caller does not hold
    // it and must neither touch what it guards as if it did nor release it.
    bool get();
    void release();  // frees it
    // Gives up this object's handle; the last handle on the machine removes
    // the IPC objects and the key file. Safe to call twice.
    void cleanup();

    // The key file path; empty when there is none.
    const char* getPath() const { return path != nullptr ? path : ""; }

    int status = 0;
    int semaphoreId = kNoId;
    int queueId = kNoId;
    char* path = nullptr;  // owned, allocated without throwing

  private:
    bool openObjects(key_t key);
    [[gnu::cold, gnu::noinline]] bool getAgain();
    void leave(bool fileLocked);

    // The key this object holds in the process's key registry, or -1.
    key_t registeredKey = -1;
};

// An open key file, locked exclusively (flock) while the object lives.
// Opens with O_NOFOLLOW; a missing file is made (ZOV_CreateKeyFile) when
// `keyInUse` is given. The file must be a regular file owned by the
// effective user or root, else it is refused (reported). After locking, the
// path must still name the same file (a cleanup may have removed it
// meanwhile), else it starts over.
class ZOV_Key_File_Lock {
  public:
    enum class State { kHeld, kMissing, kRefused, kFailed };
    ZOV_Key_File_Lock(const char* path, bool (*keyInUse)(key_t), const char* function);
    ~ZOV_Key_File_Lock();
    ZOV_Key_File_Lock(const ZOV_Key_File_Lock&) = delete;
    ZOV_Key_File_Lock& operator=(const ZOV_Key_File_Lock&) = delete;

    State state() const { return current; }
    bool held() const { return current == State::kHeld; }
    // ftok(path, 1) of the locked file, -1 when not held.
    key_t key() const { return fileKey; }
    // This object made the key file.
    bool madeFile() const { return made; }

  private:
    State openOnce(const char* path, bool (*keyInUse)(key_t), const char* function, bool& again);
    int fd = -1;
    bool made = false;
    key_t fileKey = -1;
    State current = State::kFailed;
};

// Makes the key file `path` (mode 0660) so that its ftok key is not one that
// `keyInUse` reports taken: files are made under temporary names in the same
// directory, their keys checked, and one with a free key renamed to `path`
// (see "Key collisions" above). When no temporary file can be made the file
// is created directly (O_EXCL). Never follows or makes a link. False when no
// file could be made ("open" reported under `function`) or every key tried
// was taken (a refusal, reported once); true also when another process made
// it meanwhile.
bool ZOV_CreateKeyFile(const char* path, bool (*keyInUse)(key_t), const char* function);
// A semaphore set or queue exists under `key`, or this process holds it.
bool ZOV_MutexKeyInUse(key_t key);
