#include "zov/core/zovctrus.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "zov/core/zovcdegr.h"
#include "zov/core/zovcmema.h"
#include "zov/core/zovctool.h"

namespace {

constexpr unsigned kWidestMode = 0660;

}  // namespace

const char* ZOV_RefusalName(ZOV_Refusal refusal) {
    switch (refusal) {
        case ZOV_Refusal::kNone:
            return "none";
        case ZOV_Refusal::kKeyFileLink:
            return "key_file_link";
        case ZOV_Refusal::kKeyFileType:
            return "key_file_type";
        case ZOV_Refusal::kKeyFileLinks:
            return "key_file_links";
        case ZOV_Refusal::kKeyFileOwner:
            return "key_file_owner";
        case ZOV_Refusal::kObjectOwner:
            return "object_owner";
        case ZOV_Refusal::kObjectMode:
            return "object_mode";
        case ZOV_Refusal::kSegmentSize:
            return "segment_size";
        case ZOV_Refusal::kSharedSegment:
            return "shared_segment";
    }
    return "?";
}

ZOV_Trusted_Users::ZOV_Trusted_Users() : effective(geteuid()) {}

bool ZOV_Trusted_Users::contains(uid_t user) const {
    return user == 0 || user == effective ||
           std::find(others.begin(), others.end(), user) != others.end();
}

ZOV_Refusal ZOV_CheckKeyFile(const struct stat& opened, const ZOV_Trusted_Users& users,
                             bool singleLink) {
    if (S_ISLNK(opened.st_mode))
        return ZOV_Refusal::kKeyFileLink;
    if (!S_ISREG(opened.st_mode))
        return ZOV_Refusal::kKeyFileType;
    if (singleLink && opened.st_nlink != 1)
        return ZOV_Refusal::kKeyFileLinks;
    return users.contains(opened.st_uid) ? ZOV_Refusal::kNone : ZOV_Refusal::kKeyFileOwner;
}

key_t ZOV_KeyOfFile(const struct stat& file, int projectId) {
    // As ftok: 8 bits of the project id, 8 of the device, 16 of the inode.
    return static_cast<key_t>((static_cast<unsigned>(file.st_ino) & 0xFFFFu) |
                              ((static_cast<unsigned>(file.st_dev) & 0xFFu) << 16) |
                              ((static_cast<unsigned>(projectId) & 0xFFu) << 24));
}

ZOV_Refusal ZOV_CheckIpcObject(const struct ipc_perm& permissions, uid_t keyFileOwner) {
    const auto ownerOrRoot = [keyFileOwner](uid_t user) {
        return user == keyFileOwner || user == 0;
    };
    if (!ownerOrRoot(permissions.uid) || !ownerOrRoot(permissions.cuid))
        return ZOV_Refusal::kObjectOwner;
    return (permissions.mode & 0777u & ~kWidestMode) == 0 ? ZOV_Refusal::kNone
                                                          : ZOV_Refusal::kObjectMode;
}

ZOV_Refusal ZOV_CheckSegmentSize(size_t size, const unsigned char* header) {
    using MM = ZOV_Memory_Manager;
    if (size > kZOVMaximumReadSegmentSize)
        return ZOV_Refusal::kSegmentSize;
    if (size < static_cast<size_t>(MM::kHeaderSize) ||
        std::memcmp(header + MM::kEyecatcherOffset, kZOVSegmentEyecatcher, MM::kEyecatcherSize) != 0)
        return ZOV_Refusal::kNone;
    uint32_t declared = 0;
    std::memcpy(&declared, header + MM::kSizeOffset, sizeof declared);
    return declared == size ? ZOV_Refusal::kNone : ZOV_Refusal::kSegmentSize;
}

bool ZOV_TrustIpcObject(const struct ipc_perm& permissions, const char* what, key_t key,
                        const char* path, const char* function) {
    const uid_t effective = geteuid();
    const unsigned mode = permissions.mode & 0777u;
    const bool trusted = ZOV_CheckIpcObject(permissions, effective) == ZOV_Refusal::kNone;
    if (trusted)
        return true;
    ZOV_String detail = ZOV_Format_Message("%s %08X of %s", what, static_cast<unsigned>(key), path);
    ZOV_String reason = ZOV_Format_Message(
        "Owner user %u, creator user %u, mode %04o; this process runs as user %u",
        static_cast<unsigned>(permissions.uid), static_cast<unsigned>(permissions.cuid), mode,
        static_cast<unsigned>(effective));
    ZOV_ReportDegraded(ZOV_Degraded::kRefusal, function, detail.getcValue(), reason.getcValue());
    return false;
}
