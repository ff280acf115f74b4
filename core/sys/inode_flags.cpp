#include "core/sys/inode_flags.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "core/base/eintr.hpp"

namespace bramwex::core::sys {

bool is_immutable_folder(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    struct statx attributes {};
    // AT_STATX_DONT_SYNC: a network file system answers from its cache
    // rather than asking the server for every folder row.
    constexpr int kFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;
    if (retry_on_eintr([&] {
            return ::statx(AT_FDCWD, path.c_str(), kFlags, STATX_TYPE, &attributes);
        }) != 0) {
        return false;
    }
    // The mask says which attribute bits this file system reports at all.
    return (attributes.stx_mask & STATX_TYPE) != 0 && S_ISDIR(attributes.stx_mode) &&
           (attributes.stx_attributes_mask & STATX_ATTR_IMMUTABLE) != 0 &&
           (attributes.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
}

}  // namespace bramwex::core::sys
