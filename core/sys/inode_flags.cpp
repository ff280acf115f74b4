#include "core/sys/inode_flags.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace bramwex::core::sys {

std::expected<uint32_t, int> folder_inode_flags(const std::string& path) {
    // O_DIRECTORY: a folder replaced by a device or FIFO since the scan is
    // never opened, so no open of ours can block or have side effects.
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(EINVAL);
    }
    int fd = -1;
    do {
        fd = ::open(path.c_str(), kFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return std::unexpected(errno);
    }
    // The request is declared with a long, but every file system reads and
    // writes an int.
    int flags = 0;
    int rc = 0;
    do {
        rc = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    } while (rc < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (rc < 0) {
        return std::unexpected(error);
    }
    return static_cast<uint32_t>(flags);
}

bool is_immutable_folder(const std::string& path) {
    const auto flags = folder_inode_flags(path);
    return flags && (*flags & FS_IMMUTABLE_FL) != 0;
}

}  // namespace bramwex::core::sys
