// The folder watch on Linux: one non-blocking inotify instance, read only by
// the owner when asked, and a waiter thread that sleeps in poll until the
// instance has something to read.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <absl/container/flat_hash_map.h>

#include "core/base/eintr.hpp"
#include "core/base/fatal.hpp"
#include "core/base/fd.hpp"
#include "core/sys/dirread.hpp"
#include "core/sys/folder_watch.hpp"
#include "core/sys/linux_inotify_source.hpp"

namespace bramwex::core::sys {

namespace {

// The kernel hears of the changes made to the folder's file system.
bool changes_heard(const std::string& path) {
    const auto fd = open_dir_path(path);
    if (!fd) {
        return false;
    }
    const UniqueFd folder(*fd);
    const auto type = fs_type_name_of_fd(folder.get());
    return type && detail::fs_type_reports_changes(*type);
}

}  // namespace

struct FolderWatch::State {
    std::function<void()> on_change;
    std::shared_ptr<std::atomic<uint32_t>> max_user_watches;
    absl::flat_hash_map<uint32_t, int> watch_of;              // key -> watch
    absl::flat_hash_map<int, std::vector<uint32_t>> keys_of;  // watch -> keys (one per inode)
    UniqueFd inotify;                                         // opened with the first folder
    UniqueFd stop;                                            // the waiter's wake-up to end
    std::thread waiter;
    std::mutex mutex;
    std::condition_variable rearmed;
    bool armed = true;  // on_change may be called (guarded by mutex)
    bool stopping = false;

    ~State() {
        if (waiter.joinable()) {
            {
                std::lock_guard lock(mutex);
                stopping = true;
            }
            rearmed.notify_all();
            detail::signal_eventfd(stop.get());
            waiter.join();
        }
    }

    bool open() {
        if (inotify) {
            return true;
        }
        inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify) {
            return false;
        }
        if (!on_change) {
            return true;
        }
        stop.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!stop) {
            inotify.reset();
            return false;
        }
        try {
            waiter = std::thread([this] { wait_for_changes(); });
        } catch (const std::system_error&) {
            fatal("failed to spawn thread");
        }
        return true;
    }

    void wait_for_changes() {
        while (true) {
            {
                std::unique_lock lock(mutex);
                rearmed.wait(lock, [&] { return armed || stopping; });
                if (stopping) {
                    return;
                }
            }
            pollfd fds[2] = {{inotify.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
            if (retry_on_eintr([&] { return ::poll(fds, 2, -1); }) < 0 || fds[1].revents != 0) {
                return;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                {
                    std::lock_guard lock(mutex);
                    armed = false;
                }
                on_change();
            }
        }
    }

    void forget_watch(int watch) {
        const auto found = keys_of.find(watch);
        if (found == keys_of.end()) {
            return;
        }
        for (const uint32_t key : found->second) {
            watch_of.erase(key);
        }
        keys_of.erase(found);
    }
};

FolderWatch::FolderWatch(std::function<void()> on_change,
                         std::shared_ptr<std::atomic<uint32_t>> max_user_watches)
    : state_(std::make_unique<State>()) {
    state_->on_change = std::move(on_change);
    state_->max_user_watches = std::move(max_user_watches);
}

FolderWatch::FolderWatch(FolderWatch&&) noexcept = default;
FolderWatch& FolderWatch::operator=(FolderWatch&&) noexcept = default;
FolderWatch::~FolderWatch() = default;

bool FolderWatch::add(uint32_t key, const std::string& path) {
    remove(key);
    State& s = *state_;
    if ((s.max_user_watches && s.keys_of.size() >= s.max_user_watches->load()) ||
        !changes_heard(path) || !s.open()) {
        return false;
    }
    const int watch = ::inotify_add_watch(s.inotify.get(), path.c_str(), detail::kEntryChangeMask);
    if (watch < 0) {
        return false;
    }
    s.watch_of[key] = watch;
    s.keys_of[watch].push_back(key);
    return true;
}

void FolderWatch::remove(uint32_t key) {
    State& s = *state_;
    const auto found = s.watch_of.find(key);
    if (found == s.watch_of.end()) {
        return;
    }
    const int watch = found->second;
    s.watch_of.erase(found);
    std::vector<uint32_t>& keys = s.keys_of[watch];
    std::erase(keys, key);
    if (keys.empty()) {
        s.keys_of.erase(watch);
        ::inotify_rm_watch(s.inotify.get(), watch);
    }
}

void FolderWatch::clear() {
    State& s = *state_;
    for (const auto& [watch, keys] : s.keys_of) {
        ::inotify_rm_watch(s.inotify.get(), watch);
    }
    s.keys_of.clear();
    s.watch_of.clear();
}

bool FolderWatch::watches(uint32_t key) const {
    return state_->watch_of.contains(key);
}

std::vector<uint32_t> FolderWatch::take_changed() {
    State& s = *state_;
    std::vector<uint32_t> changed;
    if (!s.inotify) {
        return changed;
    }
    bool lost = false;
    detail::read_inotify_events(s.inotify.get(), [&](const inotify_event& event) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            lost = true;
            return;
        }
        if (const auto keys = s.keys_of.find(event.wd); keys != s.keys_of.end()) {
            changed.insert(changed.end(), keys->second.begin(), keys->second.end());
        }
        if ((event.mask & IN_IGNORED) != 0) {
            s.forget_watch(event.wd);  // the kernel dropped it with the folder
        }
    });
    {
        // What arrives from here on wakes the waiter again.
        std::lock_guard lock(s.mutex);
        s.armed = true;
    }
    s.rearmed.notify_all();
    if (lost) {
        for (const auto& [key, watch] : s.watch_of) {
            changed.push_back(key);
        }
    }
    std::ranges::sort(changed);
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    return changed;
}

}  // namespace bramwex::core::sys
