// Temporary directories and file-system helpers for tests. Removal uses relative
// names only, so trees deeper than PATH_MAX and locked folders go too.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace bramwex::test {

[[noreturn]] inline void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Removes the folder named name inside dir_fd with everything below it,
// depth-first, keeping only the current folder open: it goes back up by "..".
inline void remove_tree_at(int dir_fd, const std::string& name) {
    auto enter = [](int parent_fd, const std::string& child) {
        ::fchmodat(parent_fd, child.c_str(), 0700, 0);  // folders locked by a test
        const int fd =
            ::openat(parent_fd, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            throw_errno("open " + child);
        }
        return fd;
    };
    int fd = enter(dir_fd, name);
    std::vector<std::string> below;  // folder names from name down to fd's folder
    while (true) {
        // Unlinks the non-folders and remembers one subfolder, if any is left.
        std::optional<std::string> folder;
        const int copy = ::dup(fd);
        DIR* stream = ::fdopendir(copy);
        if (stream == nullptr) {
            ::close(copy);
            throw_errno("fdopendir");
        }
        while (const dirent* entry = ::readdir(stream)) {
            const std::string child = entry->d_name;
            struct stat st;
            if (child == "." || child == "..") {
            } else if (::fstatat(fd, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(st.st_mode)) {
                folder = child;
            } else {
                ::unlinkat(fd, child.c_str(), 0);
            }
        }
        ::closedir(stream);
        if (folder) {
            const int next = enter(fd, *folder);
            ::close(fd);
            fd = next;
            below.push_back(std::move(*folder));
            continue;
        }
        if (below.empty()) {
            ::close(fd);
            if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
                throw_errno("rmdir " + name);
            }
            return;
        }
        const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = parent;
        if (fd < 0 || ::unlinkat(fd, below.back().c_str(), AT_REMOVEDIR) != 0) {
            throw_errno("rmdir " + below.back());
        }
        below.pop_back();
    }
}

inline std::string default_temp_base() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && *base != '\0' ? base : "/tmp";
}

// Where trees of many thousands of entries are made quickly: memory when the
// system offers a writable tmpfs, else the usual place.
inline std::string memory_temp_base() {
    return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : default_temp_base();
}

// A fresh directory below base, removed with its contents.
class TempDir {
  public:
    explicit TempDir(const std::string& base = default_temp_base()) {
        std::string pattern = base + "/bramwex-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw_errno("mkdtemp");
        }
        path_ = std::move(pattern);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        try {
            remove_tree_at(AT_FDCWD, path_);
        } catch (...) {
            // A leftover temporary folder must not fail the test run.
        }
    }

    const std::string& path() const { return path_; }
    operator const std::string&() const { return path_; }  // NOLINT: reads like a path
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

inline void make_dirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

// Writes size bytes of data (no holes), creating parent folders.
inline void write_file(const std::string& path, size_t size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw_errno("create " + path);
    }
    std::string chunk(65536, 'x');
    while (size > 0) {
        const size_t n = std::min(size, chunk.size());
        if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            throw_errno("write " + path);
        }
        size -= n;
    }
    ::close(fd);
}

// The entry itself (links not followed), and its st_blocks x 512.
inline struct stat lstat_of(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        throw_errno("lstat " + path);
    }
    return st;
}

inline uint64_t allocated_of(const std::string& path) {
    return static_cast<uint64_t>(lstat_of(path).st_blocks) * 512;
}

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A mount for one scope, detached at its end. Declared after the TempDir that
// holds it, so it is gone before the folder is removed.
class ScopedMount {
  public:
    ScopedMount(const std::string& source, const std::string& target, const char* type,
                unsigned long flags = 0, const char* data = nullptr)
        : target_(target),
          mounted_(::mount(source.c_str(), target.c_str(), type, flags, data) == 0) {}
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    ~ScopedMount() {
        if (mounted_) {
            ::umount2(target_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }

  private:
    std::string target_;
    bool mounted_;
};

// Runs body with the effective user nobody when the process runs as root, so
// that permission bits bind: every thread switches (the saved user id stays
// root), and root comes back afterwards.
template <class Body>
void as_nobody(Body&& body) {
    if (::geteuid() != 0) {
        body();
        return;
    }
    if (::seteuid(65534) != 0) {
        throw_errno("seteuid");
    }
    try {
        body();
    } catch (...) {
        (void)::seteuid(0);
        throw;
    }
    (void)::seteuid(0);
}

// Makes a chain of folders named name, depth deep, below folder (those there
// already are kept), and writes size bytes to the file "bottom" at its foot;
// through descriptors, as the chain's path may be too long for one call.
inline void write_at_bottom_of_chain(const std::string& folder, const std::string& name, int depth,
                                     size_t size) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    const int file =
        fd < 0 ? -1 : ::openat(fd, "bottom", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
    const std::string data(size, 'x');
    const bool written =
        file >= 0 && ::write(file, data.data(), data.size()) == static_cast<ssize_t>(size);
    const int error = errno;
    if (file >= 0) {
        ::close(file);
    }
    if (!written) {
        errno = error;
        throw_errno("write at the bottom of a chain below " + folder);
    }
}

}  // namespace bramwex::test
