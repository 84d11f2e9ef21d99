// The named mutexes of the brokers on this machine, and the release of one
// whose holder has ended.
//
// A named mutex is a key file "/tmp/<name>.zovmutx" whose ftok key names a
// semaphore set of one semaphore (1 free, 0 taken) and a queue holding one
// message per open handle. The semaphore is taken and freed with semop
// without undo: when a process ends while it holds one (killed between
// taking and freeing it), the semaphore stays at 0 and every later taker
// waits for good. The kernel keeps the process id of the last semop on the
// semaphore (GETPID); at value 0 that is the process that took it.
//
// Listing only looks: semget and msgget without IPC_CREAT, semctl IPC_STAT,
// GETVAL, GETPID and GETNCNT, msgctl IPC_STAT. A mutex counts only as the
// library's trust rules allow (zovctrus.h), with the viewer's broker users:
// its key file a regular file of one name of such a user, judged as opened
// and keyed from that opened file; its semaphore set and queue of that user
// or root with a mode within 0660. Anything else is refused: listed with
// the reason, never counted stale and never released. Releasing is the one change
// the viewer ever makes, and only on request. Under the key file's flock
// (which the library's joins and cleanups take too, so concurrent releases
// run one at a time) the lock is looked at again: only when it is still 0
// and its last operator is still the process seen ended (or it was never
// operated on) is it raised to 1. A lock taken meanwhile has another last
// operator, and nobody but a releaser holding the file lock can raise a
// lock whose holder has ended: the decision cannot go stale before the raise.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace lumenaview {

enum class LockState {
    kFree,           // value 1
    kHeld,           // value 0, taken by a live process
    kStale,          // value 0, taken by a process that has ended
    kUninitialised,  // value 0, never operated on (its creator has not set it yet)
    kOverReleased,   // value above 1: freed more often than taken
    kNoObjects,      // a key file without semaphore set (left behind)
    kDenied,         // this user may not look at it
    kRefused,        // key file or objects not the brokers' own (see above)
};
const char* lockStateName(LockState state);

struct LockView {
    std::string keyFile;  // full path
    std::string kind;     // "segment", "statistics area", "templates area",
                          // "event data area", "record", "attachment", "other"
    std::string owner;    // broker UUID, or process id for attachment mutexes
    std::string subject;  // for record mutexes: what the record is
    int key = -1;
    int semaphoreId = -1;
    int value = -1;
    int lastPid = 0;                     // last process that operated on the semaphore
    bool lastAlive = false;              // may still free it: running or stopped
    std::string lastProcess;             // "alive", "stopped", "zombie" or "ended"
    int waiting = 0;                     // processes waiting to take it
    long handles = -1;                   // open handles (queued messages); -1 without queue
    std::vector<std::string> sameKeyAs;  // other key files with this key
    LockState state = LockState::kNoObjects;
    std::string refusal;  // with kRefused: the reason's name, and why
    std::string refusalDetail;
};

// Every named mutex whose key file is in /tmp; with `uuids`, only those of
// these brokers and the processes' attachment mutexes. Record mutexes are
// named after the records found in the brokers' statistics areas.
std::vector<LockView> listLocks(const std::vector<std::string>& uuids);
// How many named mutexes are stale, and how many are refused (their key file,
// or the owner of a taken set): never counted stale. Counted without reading
// any segment, for each scrape of the metrics, where only the counts matter.
struct LockCounts {
    int stale = 0;
    int refused = 0;
};
LockCounts countLocks();
int countStaleLocks();

// The same count over the entries of a listing of /tmp that a scrape makes
// anyway (findBrokers' other entries). Run over a mutex per node: a key file
// costs its status the first time, and its set's value while the set is
// operated on; only a taken set is looked at further, its key file judged
// afresh. What earlier counts learnt (key files judged trusted, by inode;
// sets found free, with their times) spares the rest: the sets' ids and
// times come from one read of the kernel's list, a key from the listing's
// inode number. Counts run one at a time.
class SetsByKey;
class LockCounter {
  public:
    LockCounter();
    ~LockCounter();
    LockCounter(const LockCounter&) = delete;
    LockCounter& operator=(const LockCounter&) = delete;

    void take(int directory, const struct dirent& entry);
    LockCounts counts;

  private:
    bool trustedKey(int directory, const struct dirent& entry, key_t& key, ino_t& inode);
    bool listsFilesAsTheyAre(int directory, const struct dirent& entry);
    void judgeTaken(int directory, const char* name, key_t key, int id);

    std::unique_lock<std::mutex> memory;  // of what the last counts learnt
    std::unique_ptr<SetsByKey> sets;
    // Whether the listing's inode numbers are the files' own (checked on the
    // first key file; a file system that numbers its listing otherwise gets
    // every key file judged from its status): -1 until known.
    int listedInodes = -1;
    dev_t device = 0;
};

// The named mutex of one key file, or one with an empty keyFile when there is
// no such file.
LockView inspectLock(const std::string& keyFile);
// Whether `path` is "/tmp/NAME.zovmutx" (NAME without '/'): the only files
// --release-stale acts on.
bool isMutexKeyFile(const std::string& path);
// "/tmp/" + name + ".zovmutx" for a bare name; a path is kept.
std::string lockKeyFile(const std::string& nameOrPath);

void writeLocksText(std::ostream& out, const std::vector<LockView>& locks);
void writeLocksJson(std::ostream& out, const std::vector<LockView>& locks, bool pretty);

enum class ReleaseOutcome { kReleased, kNotStale, kNotFound, kDeclined, kChanged, kFailed };

// Releases the named mutex of `keyFile` when it is stale, after asking on
// `in` (unless `assumeYes`). Says on `out` and `err` what it did.
ReleaseOutcome releaseStale(const std::string& keyFile, bool assumeYes, std::istream& in,
                            std::ostream& out, std::ostream& err);

}  // namespace lumenaview
