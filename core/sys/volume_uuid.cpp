#include "core/sys/volume_uuid.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core::sys {

namespace {

// From <linux/fs.h> of kernels 6.5 and later; older headers lack it, and
// older kernels answer ENOTTY.
struct FsUuid2 {
    __u8 len;
    __u8 uuid[16];
};
#ifndef FS_IOC_GETFSUUID
#define FS_IOC_GETFSUUID _IOR(0x15, 0, FsUuid2)
#endif

constexpr const char* kByUuidDir = "/dev/disk/by-uuid";

UniqueFd open_retrying(const char* path, int flags) {
    return UniqueFd(retry_on_eintr([&] { return ::open(path, flags); }));
}

std::optional<VolumeUuid> uuid_from_ioctl(const std::string& path) {
    // O_NONBLOCK: the path may name a FIFO or a device that would block on open.
    const UniqueFd fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!fd) {
        return std::nullopt;
    }
    FsUuid2 reply{};
    const int rc = ::ioctl(fd.get(), FS_IOC_GETFSUUID, &reply);
    if (rc != 0 || reply.len != sizeof reply.uuid) {
        return std::nullopt;
    }
    VolumeUuid uuid;
    for (size_t k = 0; k < uuid.size(); ++k) {
        uuid[k] = reply.uuid[k];
    }
    return uuid;
}

// The by-uuid link whose target block device is the one holding the path.
std::optional<VolumeUuid> uuid_from_udev_links(dev_t device) {
    DIR* dir = ::opendir(kByUuidDir);
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<VolumeUuid> found;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat target {};
        if (::fstatat(::dirfd(dir), entry->d_name, &target, 0) != 0 || !S_ISBLK(target.st_mode) ||
            target.st_rdev != device) {
            continue;
        }
        found = parse_uuid_text(entry->d_name);
        if (found) {
            break;
        }
    }
    ::closedir(dir);
    return found;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::optional<VolumeUuid> parse_uuid_text(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    VolumeUuid uuid{};
    size_t byte = 0;
    for (size_t at = 0; at < text.size();) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text[at] != '-') {
                return std::nullopt;
            }
            ++at;
            continue;
        }
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        uuid[byte++] = static_cast<uint8_t>(high * 16 + low);
        at += 2;
    }
    return uuid;
}

Result<VolumeUuid> volume_uuid(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::unexpected(Error::os(errno, path));
    }
    if (const auto uuid = uuid_from_ioctl(path)) {
        return *uuid;
    }
    if (const auto uuid = uuid_from_udev_links(info.st_dev)) {
        return *uuid;
    }
    return VolumeUuid{};
}

}  // namespace bramwex::core::sys
