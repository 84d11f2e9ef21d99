// Trust in objects this process did not create: key files and the IPC
// objects keyed by them are used only when they belong to this process's
// effective user or root and are open to no one else.
#pragma once

#include <sys/types.h>

// This process's effective user or root.
bool ZOV_TrustedUser(uid_t user);

// Checks an IPC object's owner, creator and mode as reported by IPC_STAT:
// both users must be the effective user or root, the mode no wider than
// 0660. Otherwise reports the refusal (what: e.g. "semaphore set", naming
// `path` and the key) and returns false.
struct ipc_perm;
bool ZOV_TrustIpcObject(const struct ipc_perm& permissions, const char* what, key_t key,
                        const char* path, const char* function);
