#include "core/labels/labels.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"

#include "core/sys/inode_flags.hpp"

namespace bramwex::core {

namespace {

std::string_view without_trailing_slashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

std::string join(std::string_view folder, std::string_view name) {
    std::string joined;
    joined.reserve(folder.size() + 1 + name.size());
    joined += folder;
    if (!joined.empty() && joined.back() != '/') {
        joined += '/';
    }
    joined += name;
    return joined;
}

// Existence as the conditions mean it: whatever lstat does not call missing
// (a refused or looping path included) is there.
bool exists(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;  // no file system entry can have such a name
    }
    struct stat st;
    const int rc = sys::retry_on_eintr([&] { return ::lstat(path.c_str(), &st); });
    return rc == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::optional<std::string> real_path_of(std::string_view path) {
    const std::string c_path(path);
    if (c_path.empty() || c_path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    char* resolved = ::realpath(c_path.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

LabelContext LabelContext::make(std::string_view root_path,
                                std::optional<std::string_view> home_path) {
    LabelContext context;
    context.root_real_path = real_path_of(root_path);
    if (home_path) {
        context.home_real_path = real_path_of(*home_path);
    }
    return context;
}

LabelContext LabelContext::from_environment(std::string_view root_path) {
    const char* home = std::getenv("HOME");
    return make(root_path, home != nullptr ? std::optional<std::string_view>(home) : std::nullopt);
}

FolderPlace FolderPlace::of(std::string_view path) {
    FolderPlace place;
    place.path = path;
    const std::string_view trimmed = without_trailing_slashes(path);
    if (trimmed.empty() || trimmed == "/") {
        return place;
    }
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) {
        place.name = trimmed;
        place.parent_path = std::string_view();
        return place;
    }
    place.name = trimmed.substr(slash + 1);
    std::string_view parent = without_trailing_slashes(trimmed.substr(0, slash + 1));
    place.parent_path = parent;
    if (parent != "/") {
        place.parent_name = parent.substr(parent.rfind('/') + 1);
    }
    return place;
}

bool name_rule_matches(const FolderPlace& folder, const NameRule& rule) {
    if (folder.name != rule.folder) {
        return false;
    }
    const NameCondition& condition = rule.condition;
    switch (condition.kind) {
        case ConditionKind::None:
            return true;
        case ConditionKind::SiblingFile:
            return folder.parent_path &&
                   std::ranges::any_of(condition.names(), [&](std::string_view sibling) {
                       return exists(join(*folder.parent_path, sibling));
                   });
        case ConditionKind::ParentNamed:
            return folder.parent_name == condition.name();
        case ConditionKind::Contains:
            return exists(join(folder.path, condition.name()));
    }
    return false;
}

bool path_rule_matches(const PathRule& rule, std::string_view real_path,
                       const std::optional<std::string>& home_real_path) {
    if (!rule.path.starts_with('~')) {
        return real_path == rule.path;
    }
    if (!home_real_path) {
        return false;
    }
    // Compared in two pieces, so no path is built per folder and rule.
    std::string_view home = *home_real_path;
    if (home.ends_with('/')) {
        home.remove_suffix(1);  // the home folder is "/" itself
    }
    const std::string_view rest = rule.path.substr(1);
    return real_path.size() == home.size() + rest.size() && real_path.starts_with(home) &&
           real_path.ends_with(rest);
}

bool file_starts_with(const std::string& path, std::string_view expected) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    // O_NONBLOCK: a FIFO under the name must not hang the caller; reading one
    // without a writer ends at once, which is "too short".
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    const UniqueFd fd(sys::retry_on_eintr([&] { return ::open(path.c_str(), kFlags); }));
    if (!fd) {
        return false;
    }
    std::array<char, 256> buffer;
    bool same = true;
    while (same && !expected.empty()) {
        const size_t want = std::min(expected.size(), buffer.size());
        const ssize_t got =
            sys::retry_on_eintr([&] { return ::read(fd.get(), buffer.data(), want); });
        if (got <= 0) {
            same = false;  // an error, or the end before enough bytes
            break;
        }
        const auto count = static_cast<size_t>(got);
        same = std::memcmp(buffer.data(), expected.data(), count) == 0;
        expected.remove_prefix(count);
    }
    return same;
}

std::optional<Label> label_folder_at(const LabelContext& context, std::string_view path,
                                     std::string_view relative) {
    if (sys::is_immutable_folder(std::string(path))) {
        return Label{Tier::System, kProtectedLabel.text, kProtectedLabel.why};
    }

    const FolderPlace folder = FolderPlace::of(path);
    for (const NameRule& rule : name_rules()) {
        if (name_rule_matches(folder, rule)) {
            return Label{Tier::Cache, rule.text, rule.why};
        }
    }

    if (file_starts_with(join(path, kCacheTagName), kCacheTagSignature)) {
        return Label{Tier::Cache, kCacheTagLabel.text, kCacheTagLabel.why};
    }

    if (!context.root_real_path) {
        return std::nullopt;
    }
    // The root's own real path carries no trailing "/", so a scan started at a
    // known place labels its root too.
    const std::string real_path =
        relative.empty() ? *context.root_real_path : join(*context.root_real_path, relative);
    for (const PathRule& rule : path_rules()) {
        if (path_rule_matches(rule, real_path, context.home_real_path)) {
            return Label{Tier::Known, rule.text, rule.why};
        }
    }
    return std::nullopt;
}

}  // namespace bramwex::core
