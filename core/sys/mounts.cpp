#include "core/sys/mounts.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/base/utf8.hpp"

namespace bramwex::core::sys {

namespace {

constexpr const char* kMountInfoPath = "/proc/self/mountinfo";

// Kernel-made file systems that hold no user files: listing them would only
// crowd the volume list.
constexpr std::string_view kPseudoFileSystems[] = {
    "proc",    "sysfs",       "cgroup",     "cgroup2",   "devpts", "mqueue",
    "debugfs", "tracefs",     "securityfs", "pstore",    "bpf",    "configfs",
    "fusectl", "binfmt_misc", "autofs",     "hugetlbfs", "nsfs",   "rpc_pipefs",
};

bool is_pseudo_fs(std::string_view fs) {
    return std::ranges::find(kPseudoFileSystems, fs) != std::end(kPseudoFileSystems);
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

// The next space-separated field of line, advancing past it.
std::string_view next_field(std::string_view& line) {
    const size_t end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(std::min(end + 1, line.size()));
    return field;
}

std::expected<std::string, int> read_mount_table() {
    int fd = -1;
    do {
        fd = ::open(kMountInfoPath, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return std::unexpected(errno);
    }
    // procfs reports a size of 0: read until the end.
    std::string text;
    std::array<char, 16384> chunk;
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return std::unexpected(error);
        }
        if (got == 0) {
            break;
        }
        text.append(chunk.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    return text;
}

std::expected<detail::MountSizes, int> statvfs_sizes(const std::string& point) {
    struct statvfs info;
    int rc = 0;
    do {
        rc = ::statvfs(point.c_str(), &info);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return std::unexpected(errno);
    }
    return detail::sizes_from_blocks(info.f_blocks, info.f_bfree, info.f_bavail, info.f_frsize);
}

}  // namespace

namespace detail {

MountSizes sizes_from_blocks(uint64_t blocks, uint64_t free_blocks, uint64_t available_blocks,
                             uint64_t block_size) {
    MountSizes sizes;
    sizes.total = blocks * block_size;
    sizes.used = free_blocks > blocks ? 0 : (blocks - free_blocks) * block_size;
    sizes.free = available_blocks * block_size;
    return sizes;
}

std::string unescape_mount_field(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t at = 0; at < field.size(); ++at) {
        if (field[at] == '\\' && at + 3 < field.size() && is_octal(field[at + 1]) &&
            is_octal(field[at + 2]) && is_octal(field[at + 3])) {
            out += static_cast<char>(((field[at + 1] - '0') << 6) | ((field[at + 2] - '0') << 3) |
                                     (field[at + 3] - '0'));
            at += 3;
        } else {
            out += field[at];
        }
    }
    return out;
}

std::vector<Mount> mounts_from_mountinfo(std::string_view text, SizesOf sizes_of) {
    std::vector<Mount> mounts;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));

        // id, parent id, major:minor, root, mount point, options, then
        // optional fields up to a lone "-", then type, source, super options.
        std::array<std::string_view, 6> fixed;
        for (std::string_view& field : fixed) {
            field = next_field(line);
        }
        std::string_view field = next_field(line);
        while (!field.empty() && field != "-") {
            field = next_field(line);
        }
        const std::string_view type = next_field(line);
        if (fixed[4].empty() || field != "-" || type.empty()) {
            continue;
        }

        Mount mount;
        mount.point = unescape_mount_field(fixed[4]);
        mount.fs = to_utf8_lossy(unescape_mount_field(type));
        mount.hidden = is_pseudo_fs(mount.fs);
        // statvfs walks onto the point and so would trigger the mount an
        // automount point stands for: listing must not mount anything.
        if (mount.fs != "autofs") {
            if (const auto sizes = sizes_of(mount.point)) {
                mount.total = sizes->total;
                mount.used = sizes->used;
                mount.free = sizes->free;
            }
        }
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

}  // namespace detail

std::expected<std::vector<Mount>, int> list_mounts() {
    const auto text = read_mount_table();
    if (!text) {
        return std::unexpected(text.error());
    }
    return detail::mounts_from_mountinfo(
        *text, [](const std::string& point) { return statvfs_sizes(point); });
}

}  // namespace bramwex::core::sys
