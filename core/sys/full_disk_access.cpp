#include "core/sys/full_disk_access.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/base/fd.hpp"

namespace bramwex::core::sys {

namespace {

// Listed first and only for the listing's sake: their answers never decide.
constexpr std::string_view kUserFolders[] = {"Desktop", "Documents", "Downloads"};

// Tried in order until one answers for certain; the last one's uncertain
// answer is the final one.
constexpr std::string_view kGuardedFolders[] = {
    "Library/Application Support/com.apple.TCC",
    "Library/Safari",
    "Library/Mail",
};

std::expected<void, int> read_stream_to_end(int fd) {
    UniqueFd copy(::dup(fd));
    if (!copy) {
        return std::unexpected(errno);
    }
    DIR* stream = ::fdopendir(copy.get());
    if (stream == nullptr) {
        return std::unexpected(errno);
    }
    copy.release();  // the stream owns it now
    std::expected<void, int> result;
    for (;;) {
        errno = 0;
        if (::readdir(stream) != nullptr) {
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != 0) {
            result = std::unexpected(errno);
        }
        break;
    }
    ::closedir(stream);
    return result;
}

std::expected<void, int> list_to_end(int fd) {
    const auto type = fs_type_name_of_fd(fd);
    if (!type) {
        return std::unexpected(type.error());
    }
    const ReadMode mode = read_mode_for_type(*type, false);
    if (mode.bulk) {
        return read_dir_entries(mode, fd, [](const DirEntry&) {});
    }
    return read_stream_to_end(fd);
}

}  // namespace

std::expected<void, int> probe_dir(std::string_view base, std::string_view relative) {
    std::string path(base);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += relative;
    const auto opened = open_dir_path(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    const UniqueFd fd(*opened);
    return list_to_end(fd.get());
}

FullDiskAccess full_disk_access(std::string_view base) {
    return detail::full_disk_access_with(base,
                                         [](std::string_view folder, std::string_view relative) {
                                             return probe_dir(folder, relative);
                                         });
}

namespace detail {

FullDiskAccess full_disk_access_with(std::string_view base, ProbeDir probe) {
    for (const std::string_view folder : kUserFolders) {
        (void)probe(base, folder);
    }
    for (const std::string_view folder : kGuardedFolders) {
        const auto listed = probe(base, folder);
        if (listed) {
            return FullDiskAccess::On;
        }
        if (listed.error() == EPERM) {
            return FullDiskAccess::Off;
        }
    }
    return FullDiskAccess::Unknown;
}

}  // namespace detail

}  // namespace bramwex::core::sys
