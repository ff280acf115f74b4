#include "core/sys/mounts.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::core::sys {

namespace {

constexpr const char* kMountInfoPath = "/proc/self/mountinfo";
// How long a listing waits for mounts that may never answer: the volume list
// and Python's mounts() come back within a second.
constexpr std::chrono::milliseconds kSizesWait{500};

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
    const UniqueFd fd(retry_on_eintr([] { return ::open(kMountInfoPath, O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        return std::unexpected(errno);
    }
    // procfs reports a size of 0: read until the end.
    std::string text;
    std::array<char, 16384> chunk;
    for (;;) {
        const ssize_t got =
            retry_on_eintr([&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
        if (got < 0) {
            return std::unexpected(errno);
        }
        if (got == 0) {
            return text;
        }
        text.append(chunk.data(), static_cast<size_t>(got));
    }
}

// The next line of text, advancing past it and its line feed.
std::string_view next_line(std::string_view& text) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    return line;
}

std::optional<unsigned> decimal(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

namespace detail {

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

std::optional<MountInfoLine> parse_mountinfo_line(std::string_view line) {
    // id, parent id, major:minor, root, mount point, options, then optional
    // fields up to a lone "-", then type, source, super options.
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
        return std::nullopt;
    }
    MountInfoLine parsed{std::nullopt, fixed[4], type};
    const size_t colon = fixed[2].find(':');
    if (colon != std::string_view::npos) {
        const auto major_number = decimal(fixed[2].substr(0, colon));
        const auto minor_number = decimal(fixed[2].substr(colon + 1));
        if (major_number && minor_number) {
            parsed.device = ::makedev(*major_number, *minor_number);
        }
    }
    return parsed;
}

std::vector<Mount> mounts_from_mountinfo(std::string_view text, const AskSizes& ask,
                                         std::chrono::steady_clock::duration wait) {
    std::vector<Mount> mounts;
    std::vector<SizesQuestion> questions;
    std::vector<size_t> asked;  // the mount of each question
    while (!text.empty()) {
        const auto line = parse_mountinfo_line(next_line(text));
        if (!line) {
            continue;
        }
        Mount mount;
        mount.point = unescape_mount_field(line->point);
        mount.fs = to_utf8_lossy(unescape_mount_field(line->type));
        mount.hidden = is_pseudo_fs(mount.fs);
        // statvfs walks onto the point and so would trigger the mount an
        // automount point stands for: listing must not mount anything.
        if (mount.fs != "autofs") {
            questions.push_back({mount.point, mount.fs});
            asked.push_back(mounts.size());
        }
        mounts.push_back(std::move(mount));
    }
    const std::vector<SizesAnswer> answers = ask_sizes(questions, ask, wait);
    for (size_t k = 0; k < answers.size(); ++k) {
        if (answers[k]) {
            Mount& mount = mounts[asked[k]];
            mount.total = answers[k]->total;
            mount.used = answers[k]->used;
            mount.free = answers[k]->free;
        }
    }
    return mounts;
}

std::optional<std::string> fs_type_of_device(std::string_view mountinfo, dev_t device) {
    while (!mountinfo.empty()) {
        const auto line = parse_mountinfo_line(next_line(mountinfo));
        if (line && line->device == device) {
            return unescape_mount_field(line->type);
        }
    }
    return std::nullopt;
}

}  // namespace detail

std::expected<std::vector<Mount>, int> list_mounts() {
    const auto text = read_mount_table();
    if (!text) {
        return std::unexpected(text.error());
    }
    return detail::mounts_from_mountinfo(*text, statvfs_sizes, kSizesWait);
}

std::optional<std::string> fs_type_of_device(dev_t device) {
    const auto text = read_mount_table();
    if (!text) {
        return std::nullopt;
    }
    return detail::fs_type_of_device(*text, device);
}

}  // namespace bramwex::core::sys
