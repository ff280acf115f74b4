// The mounted file systems: /proc/self/mountinfo for the mount points and
// types, statvfs for the sizes of each. The list comes unfiltered and in the
// kernel's order (parents before the mounts made on them); callers filter
// and sort it themselves. It never blocks for long: a network or FUSE mount
// that does not answer in time is listed unsized (see mount_sizes.hpp).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/sys/dirread.hpp"
#include "core/sys/mount_sizes.hpp"

namespace bramwex::core::sys {

struct Mount {
    std::string point;    // the mount point as raw bytes, the kernel's escapes undone
    std::string fs;       // the file-system type name, UTF-8 (invalid bytes replaced)
    uint64_t total = 0;   // blocks x fragment size; 0 when unknown (statvfs failed, was
                          // not asked or did not answer in time)
    uint64_t used = 0;    // (blocks - free blocks) x fragment size; 0 when free exceeds blocks
    uint64_t free = 0;    // blocks available to unprivileged users x fragment size
    bool hidden = false;  // a pseudo file system nobody browses (proc, sysfs, cgroup, ...)
    friend bool operator==(const Mount&, const Mount&) = default;
};

// Fails only when the mount table itself cannot be read; a mount whose
// statvfs fails or does not answer within half a second (a stale or dead
// network mount) is listed with zero sizes.
std::expected<std::vector<Mount>, int> list_mounts();

// The file-system type of the mount of device; none when the table cannot be
// read or lists no such device (btrfs subvolumes have devices of their own).
std::optional<std::string> fs_type_of_device(dev_t device);

namespace detail {

// Undoes the kernel's octal escapes ("\040" is a space; also tab, newline and
// backslash); a backslash not followed by three octal digits stays as it is.
std::string unescape_mount_field(std::string_view field);

// The fields of one mountinfo line that we read, still escaped; none for a
// line without the mountinfo layout.
struct MountInfoLine {
    std::optional<dev_t> device;  // from "major:minor"
    std::string_view point;
    std::string_view type;
};
std::optional<MountInfoLine> parse_mountinfo_line(std::string_view line);

std::optional<std::string> fs_type_of_device(std::string_view mountinfo, dev_t device);

// The mounts of one mountinfo text, sized by ask within the wait (see
// ask_sizes; automount points are left unsized); lines that do not have the
// mountinfo layout are skipped.
std::vector<Mount> mounts_from_mountinfo(std::string_view text, const AskSizes& ask,
                                         std::chrono::steady_clock::duration wait);

}  // namespace detail

}  // namespace bramwex::core::sys
