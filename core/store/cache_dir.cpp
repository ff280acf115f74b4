#include "core/store/cache_dir.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "core/base/atomic_write.hpp"
#include "core/base/error.hpp"
#include "core/store/cache_key.hpp"

namespace bramwex::core {

namespace {

const char* non_empty_env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The path without its last component; empty for "/" and single names.
std::string parent_of(const std::string& path) {
    const size_t end = path.find_last_not_of('/');
    const size_t slash = end == std::string::npos ? end : path.rfind('/', end);
    const size_t parent_end =
        slash == std::string::npos ? slash : path.find_last_not_of('/', slash);
    return parent_end == std::string::npos ? std::string() : path.substr(0, parent_end + 1);
}

// A leftover younger than this may belong to a save still running in a
// process this one cannot see (another PID namespace sharing the folder).
constexpr time_t kStaleAfterSeconds = 60;

bool is_stale_temporary(int dir_fd, const char* name, time_t now) {
    const auto temporary = parse_temporary_name(name);
    if (!temporary || !(temporary->destination.ends_with(kScanExtension) ||
                        temporary->destination.ends_with(kPicksExtension))) {
        return false;
    }
    struct stat info {};
    if (::fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        now - info.st_mtim.tv_sec <= kStaleAfterSeconds) {
        return false;
    }
    return ::kill(temporary->pid, 0) != 0 && errno == ESRCH;
}

void remove_stale_temporaries(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (is_stale_temporary(::dirfd(listing), entry->d_name, now)) {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

Result<void> create_cache_dir(const std::string& dir) {
    if (has_nul_byte(dir)) {
        return std::unexpected(Error::os(EINVAL, dir));
    }
    if (dir.empty()) {
        return std::unexpected(Error::os(ENOENT, dir));
    }
    if (::mkdir(dir.c_str(), 0700) == 0) {
        return {};
    }
    int error = errno;
    if (error == ENOENT) {
        // Make the parents first, then try this one again.
        const std::string parent = parent_of(dir);
        if (!parent.empty()) {
            if (Result<void> made = create_cache_dir(parent); !made) {
                return made;
            }
            if (::mkdir(dir.c_str(), 0700) == 0) {
                return {};
            }
            error = errno;
        }
    }
    // Lost a race with another creator, or it was there all along.
    if (is_directory(dir)) {
        return {};
    }
    return std::unexpected(Error::os(error, dir));
}

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

Result<std::string> cache_dir() {
    if (const char* dir = non_empty_env("BRAMWEX_CACHE_DIR")) {
        return std::string(dir);
    }
    if (const char* home = non_empty_env("HOME")) {
        return join_path(home, "Library/Caches/bramwex");
    }
    return std::unexpected(Error::text("HOME is not set"));
}

Result<void> save_in_cache_dir(const std::string& dir, const std::string& name,
                               std::span<const std::byte> bytes) {
    if (Result<void> made = create_cache_dir(dir); !made) {
        return made;
    }
    remove_stale_temporaries(dir);
    return write_atomically(join_path(dir, name), bytes);
}

}  // namespace bramwex::core
