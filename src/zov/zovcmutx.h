// ZOV_Name_Mutex: a non-recursive lock that every thread of every process on
// the machine reaches by name. Three operating-system objects hang off one
// ftok key:
//   - the key file "/tmp/" + name + ".zovmutx" (no prefix when the name
//     already starts with "/tmp/"),
//   - a System V semaphore set of one semaphore, initial value 1: the lock,
//   - a System V message queue holding one 1-byte message (type 1) per open
//     mutex object on the machine: the handle count. The cleanup that takes
//     the last message out removes queue, semaphore set and key file.
#pragma once

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
};
