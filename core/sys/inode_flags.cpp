#include "core/sys/inode_flags.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core::sys {

std::expected<uint32_t, int> folder_inode_flags(const std::string& path) {
    // O_DIRECTORY: a folder replaced by a device or FIFO since the scan is
    // never opened, so no open of ours can block or have side effects.
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(EINVAL);
    }
    const UniqueFd fd(retry_on_eintr([&] { return ::open(path.c_str(), kFlags); }));
    if (!fd) {
        return std::unexpected(errno);
    }
    // The request is declared with a long, but every file system reads and
    // writes an int.
    int flags = 0;
    if (retry_on_eintr([&] { return ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags); }) < 0) {
        return std::unexpected(errno);
    }
    return static_cast<uint32_t>(flags);
}

bool is_immutable_folder(const std::string& path) {
    const auto flags = folder_inode_flags(path);
    return flags && (*flags & FS_IMMUTABLE_FL) != 0;
}

}  // namespace bramwex::core::sys
