// The owner's half of the inotify event source (start, flush, stop), the
// watches that both halves add, and the EventSource interface over it.
#include "core/sys/linux_inotify_source.hpp"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string>

#include "core/base/eintr.hpp"
#include "core/base/log.hpp"
#include "core/base/read_whole_file.hpp"
#include "core/sys/dirread.hpp"
#include "core/sys/mounts.hpp"

namespace bramwex::core::sys {

namespace detail {

namespace {

constexpr uint32_t kFolderMask = kEntryChangeMask | IN_DONT_FOLLOW;
// On the folders above the root: only its own name coming or going matters.
constexpr uint32_t kAncestorMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

// Watches kept for the user's other programs: a tenth, and at least this.
constexpr uint64_t kReserveAtLeast = 1000;

// The kernel's watch budget of this user; no bound when it cannot be read.
uint64_t system_max_user_watches() {
    const auto read = read_whole_file("/proc/sys/fs/inotify/max_user_watches");
    uint64_t value = 0;
    if (read && *read) {
        const auto* text = reinterpret_cast<const char*>((*read)->data());
        if (std::from_chars(text, text + (*read)->size(), value).ec == std::errc()) {
            return value;
        }
    }
    return std::numeric_limits<uint64_t>::max();
}

// The type of the file system at path as its own statfs gives it: for a
// root the mount table does not list, or where there is no table (no /proc).
std::optional<std::string> fs_type_at(const std::string& path) {
    const auto fd = open_dir_path(path);
    if (!fd) {
        return std::nullopt;
    }
    const UniqueFd folder(*fd);
    const auto type = fs_type_name_of_fd(folder.get());
    return type ? std::optional<std::string>(*type) : std::nullopt;
}

bool inotify_available() {
    // Asked once: the kernel's support does not come and go.
    // Running out of instances or descriptors says that the kernel has it.
    static const bool available = [] {
        const int fd = ::inotify_init1(IN_CLOEXEC);
        const int error = errno;
        const UniqueFd owned(fd);
        return fd >= 0 || error == EMFILE || error == ENFILE || error == ENOMEM;
    }();
    return available;
}

}  // namespace

uint64_t realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

void read_inotify_events(int fd, absl::FunctionRef<void(const inotify_event&)> handle) {
    alignas(inotify_event) char buffer[64 * 1024];
    while (true) {
        const ssize_t got = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (got <= 0) {
            return;  // EAGAIN: nothing more queued
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            handle(*event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

std::string fd_link(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

void signal_eventfd(int fd) {
    const uint64_t one = 1;
    retry_on_eintr([&] { return ::write(fd, &one, sizeof one); });
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
    return std::ranges::find(kSilent, fs_type) == kSilent.end();
}

InotifySource::InotifySource(EventSourceConfig config)
    : config_(std::move(config)),
      pending_(config_.root, config_.faults.fold_after.value_or(PendingEvents::kFoldAfter)) {}

Result<void> InotifySource::start() {
    max_user_watches_ = system_max_user_watches();
    inotify_fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_fd_) {
        return std::unexpected(Error::os(errno, config_.root));
    }
    wake_fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_fd_) {
        return std::unexpected(Error::os(errno, config_.root));
    }
    int error = 0;
    if (!attach_root(error)) {
        return std::unexpected(Error::os(error, config_.root));
    }
    // Devices missing from the mount table (btrfs subvolumes) are local.
    auto type = sys::fs_type_of_device(root_device_);
    if (!type) {
        type = fs_type_at(config_.root);
    }
    if (type && !fs_type_reports_changes(*type)) {
        return std::unexpected(
            Error::text("inotify does not see the changes of a " + *type + " file system"));
    }
    watch_ancestors();
    walk_.push_back(WalkItem{-1, {}, config_.since, true});
    first_walk_left_ = 1;
    running_ = true;
    try {
        reader_ = std::thread([this] { run(); });
    } catch (const std::system_error& failure) {
        running_ = false;
        return std::unexpected(Error::os(failure.code().value(), config_.root));
    }
    return {};
}

void InotifySource::flush() {
    std::unique_lock lock(control_mutex_);
    if (!running_) {
        return;
    }
    const uint64_t ticket = ++flush_requested_;
    wake();
    control_changed_.wait(lock, [&] { return flush_done_ >= ticket || !running_; });
}

bool InotifySource::running() const {
    std::lock_guard lock(control_mutex_);
    return running_;
}

void InotifySource::stop() {
    if (reader_.joinable()) {
        {
            std::lock_guard lock(control_mutex_);
            stop_requested_ = true;
        }
        stopping_.store(true, std::memory_order_relaxed);
        wake();
        reader_.join();
    }
    inotify_fd_.reset();
    wake_fd_.reset();
    watch_count_.store(0, std::memory_order_relaxed);
}

bool InotifySource::simulate_queue_overflow() {
    std::lock_guard lock(control_mutex_);
    if (!running_) {
        return false;
    }
    ++overflows_simulated_;
    wake();
    return true;
}

void InotifySource::wake() const {
    signal_eventfd(wake_fd_.get());
}

uint64_t InotifySource::watch_budget() const {
    uint64_t most = max_user_watches_;
    if (config_.faults.max_user_watches) {
        most = std::min<uint64_t>(most, config_.faults.max_user_watches->load());
    }
    const uint64_t reserve = std::max(most / 10, kReserveAtLeast);
    return most > reserve ? most - reserve : 0;
}

std::optional<int> InotifySource::add_folder_watch(const std::string& path, int& error,
                                                   uint32_t mask) {
    if (tree_.size() >= watch_budget()) {
        error = ENOSPC;
    } else if (const int wd = retry_on_eintr(
                   [&] { return ::inotify_add_watch(inotify_fd_.get(), path.c_str(), mask); });
               wd >= 0) {
        return wd;
    } else {
        error = errno;
    }
    watches_spent_ = watches_spent_ || error == ENOSPC;
    return std::nullopt;
}

std::optional<int> InotifySource::add_folder_watch_at(int fd, const std::string& path, int& error,
                                                      bool counted) {
    const auto add = [&](const std::string& at, uint32_t mask) -> std::optional<int> {
        if (counted) {
            return add_folder_watch(at, error, mask);
        }
        const int wd = retry_on_eintr(
            [&] { return ::inotify_add_watch(inotify_fd_.get(), at.c_str(), mask); });
        error = errno;
        return wd >= 0 ? std::optional<int>(wd) : std::nullopt;
    };
    if (fd_links_work_) {
        // The link is followed: the folder was opened without following one.
        const auto wd = add(fd_link(fd), kEntryChangeMask);
        if (wd || !fd_links_missing(error)) {
            return wd;
        }
    }
    return keep_if_open_folder(fd, path, add(path, kFolderMask), error);
}

// The link of a descriptor held open cannot be missing: /proc is not mounted
// (a container, a chroot). It will not come: from now on watches go by path.
bool InotifySource::fd_links_missing(int error) {
    if (error != ENOENT && error != ENOTDIR) {
        return false;
    }
    log::record(log::Level::Info, "bramwex_core::sys::fsevents",
                "fsevents: no /proc/self/fd; watching folders by their paths");
    fd_links_work_ = false;
    return true;
}

// A watch added at path is kept only if the path still leads to the folder
// open at fd; otherwise, or when the path leads nowhere while the folder is
// still there, the folder goes unwatched with ESTALE.
std::optional<int> InotifySource::keep_if_open_folder(int fd, const std::string& path,
                                                      std::optional<int> wd, int& error) {
    struct stat open {};
    const bool held = retry_on_eintr([&] { return ::fstat(fd, &open); }) == 0;
    if (wd) {
        struct stat now {};
        if (held && retry_on_eintr([&] { return ::lstat(path.c_str(), &now); }) == 0 &&
            now.st_dev == open.st_dev && now.st_ino == open.st_ino) {
            return wd;
        }
        if (!tree_.contains(*wd) && !ancestors_.contains(*wd)) {
            ::inotify_rm_watch(inotify_fd_.get(), *wd);
        }
        error = ESTALE;
        return std::nullopt;
    }
    // Removed meanwhile, it needs no watch; moved, it does.
    if ((error == ENOENT || error == ENOTDIR || error == ELOOP) && held && open.st_nlink > 0) {
        error = ESTALE;
    }
    return std::nullopt;
}

bool InotifySource::attach_root(int& error) {
    struct stat info {};
    if (retry_on_eintr([&] { return ::stat(config_.root.c_str(), &info); }) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    const auto wd = add_folder_watch(config_.root, error, kFolderMask);
    if (!wd) {
        return false;
    }
    tree_.set_root(*wd, config_.root);
    root_device_ = info.st_dev;
    root_inode_ = info.st_ino;
    watch_count_.store(tree_.size(), std::memory_order_relaxed);
    return true;
}

void InotifySource::watch_ancestors() {
    for (const auto& [wd, next] : ancestors_) {
        ::inotify_rm_watch(inotify_fd_.get(), wd);
    }
    ancestors_.clear();
    // "/a/b/c": "/" for "a", "/a" for "b", "/a/b" for "c". A folder above
    // that cannot be watched (no permission) just goes without.
    const std::string& root = config_.root;
    size_t slash = root.find('/');
    while (slash != std::string::npos && slash + 1 < root.size()) {
        const size_t next_slash = root.find('/', slash + 1);
        const std::string folder = slash == 0 ? "/" : root.substr(0, slash);
        const std::string next = root.substr(slash + 1, next_slash - slash - 1);
        const int wd = ::inotify_add_watch(inotify_fd_.get(), folder.c_str(), kAncestorMask);
        if (wd >= 0 && !tree_.contains(wd)) {
            ancestors_[wd] = next;
        }
        slash = next_slash;
    }
}

void InotifySource::forget(int wd, bool remove_watches) {
    for (const int gone : tree_.remove_subtree(wd)) {
        if (remove_watches || gone != wd) {
            ::inotify_rm_watch(inotify_fd_.get(), gone);
        }
    }
    watch_count_.store(tree_.size(), std::memory_order_relaxed);
}

}  // namespace detail

Result<EventSource> EventSource::start(EventSourceConfig config) {
    if (config.root.empty() || config.root.front() != '/' || has_nul_byte(config.root)) {
        return std::unexpected(Error::os(EINVAL, config.root));
    }
    auto source = std::make_unique<detail::InotifySource>(std::move(config));
    if (auto started = source->start(); !started) {
        return std::unexpected(started.error());
    }
    return EventSource(std::move(source));
}

EventSource::EventSource(std::unique_ptr<detail::InotifySource> source)
    : source_(std::move(source)) {}
EventSource::EventSource() = default;
EventSource::EventSource(EventSource&&) noexcept = default;
EventSource& EventSource::operator=(EventSource&&) noexcept = default;
EventSource::~EventSource() = default;

void EventSource::flush() {
    if (source_) {
        source_->flush();
    }
}

void EventSource::stop() {
    if (source_) {
        source_->stop();
    }
}

bool EventSource::running() const {
    return source_ && source_->running();
}

dev_t EventSource::root_device() const {
    return source_ ? source_->root_device() : 0;
}

size_t EventSource::watch_count() const {
    return source_ ? source_->watch_count() : 0;
}

bool EventSource::simulate_queue_overflow() {
    return source_ && source_->simulate_queue_overflow();
}

EventId current_event_id() {
    return detail::inotify_available() ? detail::realtime_ns() : 0;
}

}  // namespace bramwex::core::sys
