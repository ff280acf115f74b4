#include "core/sys/linux_inotify_device.hpp"

#include <sys/sysmacros.h>

#include <array>
#include <charconv>

#include "core/base/read_whole_file.hpp"

namespace bramwex::core::sys::inotify {

namespace detail {

namespace {

// The n-th space-separated field of a line (0-based).
std::optional<std::string_view> field(std::string_view line, size_t n) {
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        at = line.find(' ', at);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        ++at;
    }
    return line.substr(at, line.find(' ', at) - at);
}

std::optional<unsigned> number(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::string> fs_type_of_device(std::string_view mountinfo, dev_t device) {
    while (!mountinfo.empty()) {
        const size_t end = mountinfo.find('\n');
        const std::string_view line = mountinfo.substr(0, end);
        mountinfo = end == std::string_view::npos ? std::string_view() : mountinfo.substr(end + 1);
        // "id parent major:minor root point options [optional...] - type source ..."
        const auto numbers = field(line, 2);
        const size_t separator = line.find(" - ");
        if (!numbers || separator == std::string_view::npos) {
            continue;
        }
        const size_t colon = numbers->find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const auto major_number = number(numbers->substr(0, colon));
        const auto minor_number = number(numbers->substr(colon + 1));
        if (!major_number || !minor_number || ::makedev(*major_number, *minor_number) != device) {
            continue;
        }
        if (const auto type = field(line.substr(separator + 3), 0)) {
            return std::string(*type);
        }
    }
    return std::nullopt;
}

bool fs_type_reports_changes(std::string_view fs_type) {
    if (fs_type == "fuse" || fs_type.starts_with("fuse.")) {
        return false;
    }
    static constexpr std::array<std::string_view, 24> kSilent = {
        "nfs",    "nfs4",    "cifs",      "smb3",       "smbfs",    "9p",
        "afs",    "ceph",    "glusterfs", "lustre",     "gfs2",     "ocfs2",
        "davfs",  "sshfs",   "proc",      "sysfs",      "cgroup",   "cgroup2",
        "devpts", "debugfs", "tracefs",   "securityfs", "configfs", "efivarfs",
    };
    for (const std::string_view silent : kSilent) {
        if (fs_type == silent) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

bool device_reports_changes(dev_t device) {
    const auto text = read_whole_file("/proc/self/mountinfo");
    if (!text) {
        return true;
    }
    const auto type = detail::fs_type_of_device(
        std::string_view(reinterpret_cast<const char*>(text->data()), text->size()), device);
    return !type || detail::fs_type_reports_changes(*type);
}

}  // namespace bramwex::core::sys::inotify
