// Trust: which key files and System V objects the library and its readers
// use. Everything here only looks; refusing is the caller's part.
//
// Users. A key file or IPC object counts only when root or a trusted user
// owns it: for the library the process's effective user, for a reader also
// the users its operator names (the brokers' users).
//
// Key files. A key file is judged as opened (O_NOFOLLOW, then fstat of the
// descriptor): a regular file of a trusted user, with one link only where the
// caller asks (the library publishes a new key file by a rename, so its own
// files never have two). Its IPC key is computed from that same fstat
// the way ftok computes it, so the key always belongs to the file that was
// judged, never to one put in its place after the check.
//
// Objects. A semaphore set, queue or segment under a key file is used only
// when its owner and creator are the key file's user or root and its mode is
// within 0660. A reader takes a segment only up to kZOVMaximumReadSegmentSize
// and only with the size its own header declares.
#pragma once

#include <sys/ipc.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "zov/core/zovcshme.h"

enum class ZOV_Refusal {
    kNone,
    kKeyFileLink,    // the name is a symbolic link
    kKeyFileType,    // not a regular file
    kKeyFileLinks,   // a regular file with more than one name
    kKeyFileOwner,   // owned by a user not trusted
    kObjectOwner,    // the IPC object's owner or creator is another user
    kObjectMode,     // the IPC object is open to more than owner and group
    kSegmentSize,    // larger than a reader takes, or not the size its header says
    kSharedSegment,  // a second key file on a segment already read under another
};
// The refusal's name for reports and metric labels ("key_file_link", ...).
const char* ZOV_RefusalName(ZOV_Refusal refusal);

// The largest segment a reader copies: three areas of 64 MiB and the header.
inline constexpr size_t kZOVMaximumReadAreaSize = 64u << 20;
inline constexpr size_t kZOVMaximumReadSegmentSize = ZOV_SegmentSize(kZOVMaximumReadAreaSize);

// Root, the effective user, and the users added.
class ZOV_Trusted_Users {
  public:
    ZOV_Trusted_Users();
    void add(uid_t user) { others.push_back(user); }  // reader side only: may throw
    bool contains(uid_t user) const;

  private:
    uid_t effective;
    std::vector<uid_t> others;
};

// Judges a key file by the fstat of its open descriptor.
ZOV_Refusal ZOV_CheckKeyFile(const struct stat& opened, const ZOV_Trusted_Users& users,
                             bool singleLink);
// The IPC key ftok(path, projectId) gives for the file of `file`.
key_t ZOV_KeyOfFile(const struct stat& file, int projectId);
// Judges an IPC object found under a key file of `keyFileOwner`.
ZOV_Refusal ZOV_CheckIpcObject(const struct ipc_perm& permissions, uid_t keyFileOwner);
// Judges a segment of `size` bytes whose first bytes are `header` (fewer than
// a header when the segment is that short): a size above the maximum, or a
// segment header of ours that declares another size, is refused. A header of
// another kind is left for the reader to call foreign.
ZOV_Refusal ZOV_CheckSegmentSize(size_t size, const unsigned char* header);

// Checks an IPC object's owner, creator and mode as reported by IPC_STAT:
// both users must be the effective user or root, the mode no wider than
// 0660. Otherwise reports the refusal (what: e.g. "semaphore set", naming
// `path` and the key) and returns false.
bool ZOV_TrustIpcObject(const struct ipc_perm& permissions, const char* what, key_t key,
                        const char* path, const char* function);
