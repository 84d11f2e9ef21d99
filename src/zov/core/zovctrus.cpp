#include "zov/core/zovctrus.h"

#include <sys/ipc.h>
#include <unistd.h>

#include "zov/core/zovcdegr.h"
#include "zov/core/zovctool.h"

namespace {

// Read and write for the owner and the owner's group, nothing for others.
constexpr unsigned kWidestMode = 0660;

}  // namespace

bool ZOV_TrustedUser(uid_t user) {
    return user == geteuid() || user == 0;
}

bool ZOV_TrustIpcObject(const struct ipc_perm& permissions, const char* what, key_t key,
                        const char* path, const char* function) {
    const unsigned mode = permissions.mode & 0777u;
    if (ZOV_TrustedUser(permissions.uid) && ZOV_TrustedUser(permissions.cuid) &&
        (mode & ~static_cast<unsigned>(kWidestMode)) == 0)
        return true;
    ZOV_String detail = ZOV_Format_Message("%s %08X of %s", what, static_cast<unsigned>(key), path);
    ZOV_String reason = ZOV_Format_Message(
        "Owner user %u, creator user %u, mode %04o; this process runs as user %u",
        static_cast<unsigned>(permissions.uid), static_cast<unsigned>(permissions.cuid), mode,
        static_cast<unsigned>(geteuid()));
    ZOV_ReportDegraded(ZOV_Degraded::kRefusal, function, detail.getcValue(), reason.getcValue());
    return false;
}
