#include "core/sys/linux_inotify_stream.hpp"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base/eintr.hpp"

namespace bramwex::core::sys::inotify {

namespace {

// Every change that moves bytes or entries; reads and opens are left out.
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                                 IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                 IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// On the folders above the root: only its own name coming or going matters.
constexpr uint32_t kAncestorMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

// A day at most: the stream's timer must stay representable.
std::chrono::steady_clock::duration latency_of(double seconds) {
    const double bounded = seconds > 0 ? std::min(seconds, 86400.0) : 0.0;  // NaN is 0
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(bounded));
}

}  // namespace

InotifyStream::InotifyStream(FsEventStreamCallback callback, void* info, std::string root,
                             FsEventStreamEventId since, double latency_seconds, uint32_t flags,
                             sys::detail::InotifySettings settings)
    : callback_(callback),
      info_(info),
      root_(std::move(root)),
      since_(since),
      latency_(latency_of(latency_seconds)),
      flags_(flags),
      settings_(settings) {}

InotifyStream::~InotifyStream() {
    stop();
    if (queue_ != nullptr) {
        queue_->release();
    }
}

void InotifyStream::set_queue(SerialQueue* queue) {
    if (started_) {
        return;
    }
    if (queue != nullptr) {
        queue->retain();
    }
    if (queue_ != nullptr) {
        queue_->release();
    }
    queue_ = queue;
}

// Lifecycle (owner thread) ----------------------------------------------------

bool InotifyStream::start() {
    if (started_ || queue_ == nullptr) {
        return false;
    }
    if (settings_.unavailable) {
        return false;
    }
    inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int error = 0;
    if (inotify_fd_ < 0 || wake_fd_ < 0 || !attach_root(error)) {
        close_descriptors();
        return false;
    }
    if ((flags_ & kCreateFlagWatchRoot) != 0) {
        watch_ancestors();
    }
    walk_.push_back(WalkItem{-1, {}, since_, true});
    first_walk_left_ = 1;
    {
        std::lock_guard lock(control_mutex_);
        running_ = true;
    }
    try {
        reader_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        std::lock_guard lock(control_mutex_);
        running_ = false;
    }
    if (!reader_.joinable()) {
        tree_.clear();
        close_descriptors();
        return false;
    }
    started_ = true;
    return true;
}

void InotifyStream::flush_sync() {
    std::unique_lock lock(control_mutex_);
    if (!running_) {
        return;
    }
    const uint64_t ticket = ++flush_requested_;
    wake();
    control_changed_.wait(lock, [&] { return flush_done_ >= ticket || !running_; });
}

void InotifyStream::stop() {
    if (reader_.joinable()) {
        {
            std::lock_guard lock(control_mutex_);
            stop_requested_ = true;
        }
        stopping_.store(true, std::memory_order_relaxed);
        wake();
        reader_.join();
    }
    close_descriptors();
}

void InotifyStream::invalidate() {
    stop();
    if (queue_ != nullptr) {
        std::exchange(queue_, nullptr)->release();
    }
}

bool InotifyStream::inject_overflow() {
    std::lock_guard lock(control_mutex_);
    if (!running_) {
        return false;
    }
    ++overflows_injected_;
    wake();
    return true;
}

void InotifyStream::wake() const {
    const uint64_t one = 1;
    ssize_t written = 0;
    do {
        written = ::write(wake_fd_, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN: the counter is already far from zero, the reader wakes anyway.
}

void InotifyStream::close_descriptors() {
    if (inotify_fd_ >= 0) {
        ::close(std::exchange(inotify_fd_, -1));
    }
    if (wake_fd_ >= 0) {
        ::close(std::exchange(wake_fd_, -1));
    }
    watch_count_.store(0, std::memory_order_relaxed);
}

// Watches ----------------------------------------------------------------------

std::optional<int> InotifyStream::add_folder_watch(const std::string& path, int& error) {
    if (settings_.watch_limit && tree_.size() >= *settings_.watch_limit) {
        error = ENOSPC;
        return std::nullopt;
    }
    const int wd =
        retry_on_eintr([&] { return ::inotify_add_watch(inotify_fd_, path.c_str(), kFolderMask); });
    if (wd < 0) {
        error = errno;
        return std::nullopt;
    }
    return wd;
}

bool InotifyStream::attach_root(int& error) {
    struct stat info {};
    if (retry_on_eintr([&] { return ::stat(root_.c_str(), &info); }) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    const auto wd = add_folder_watch(root_, error);
    if (!wd) {
        return false;
    }
    tree_.set_root(*wd, root_);
    root_device_ = info.st_dev;
    root_inode_ = info.st_ino;
    watch_count_.store(tree_.size(), std::memory_order_relaxed);
    return true;
}

void InotifyStream::watch_ancestors() {
    for (const auto& [wd, next] : ancestors_) {
        ::inotify_rm_watch(inotify_fd_, wd);
    }
    ancestors_.clear();
    // "/a/b/c": "/" for "a", "/a" for "b", "/a/b" for "c". A folder above
    // that cannot be watched (no permission) just goes without.
    size_t slash = root_.find('/');
    while (slash != std::string::npos && slash + 1 < root_.size()) {
        const size_t next_slash = root_.find('/', slash + 1);
        const std::string folder = slash == 0 ? "/" : root_.substr(0, slash);
        const std::string next = root_.substr(slash + 1, next_slash - slash - 1);
        const int wd = ::inotify_add_watch(inotify_fd_, folder.c_str(), kAncestorMask);
        if (wd >= 0 && !tree_.contains(wd)) {
            ancestors_[wd] = next;
        }
        slash = next_slash;
    }
}

void InotifyStream::forget(int wd, bool remove_watches) {
    for (const int gone : tree_.remove_subtree(wd)) {
        if (remove_watches || gone != wd) {
            ::inotify_rm_watch(inotify_fd_, gone);
        }
    }
    watch_count_.store(tree_.size(), std::memory_order_relaxed);
}

}  // namespace bramwex::core::sys::inotify
