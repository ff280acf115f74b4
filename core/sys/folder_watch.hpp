// Watches a few folders, each by itself (not what lies below it), for
// changes to their entries, so that a follower lists a folder again only
// once it changed instead of every time it polls, and hears of the change
// at once instead of at its next poll. A folder that cannot be watched is
// refused, and the follower polls it. On Linux, one inotify instance with a
// watch per folder (linux_folder_watch.cpp).
// Threading: the owner calls everything from one thread; a waiter thread,
// started with the first watch, only calls on_change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bramwex::core::sys {

class FolderWatch {
  public:
    // Watches nothing. on_change (when given) is called on the waiter
    // thread once a watched folder changed, then not again until
    // take_changed has been called; it must not call back into the watch.
    // max_user_watches (tests) stands for the kernel's watch budget, as in
    // EventSourceFaults: no more folders than it are watched at once.
    explicit FolderWatch(std::function<void()> on_change = {},
                         std::shared_ptr<std::atomic<uint32_t>> max_user_watches = {});
    FolderWatch(FolderWatch&&) noexcept;
    FolderWatch& operator=(FolderWatch&&) noexcept;
    // Stops and joins the waiter and lets every folder go.
    ~FolderWatch();

    // Watches the folder at path under key (any earlier folder under key is
    // let go). False when its changes cannot be seen here: no watch left,
    // a file system whose changes this kernel does not hear of, a folder
    // that cannot be opened; the caller polls it instead.
    bool add(uint32_t key, const std::string& path);

    // Lets the folder under key go.
    void remove(uint32_t key);
    void clear();

    bool watches(uint32_t key) const;

    // The keys whose folders changed since the last call, each once, without
    // waiting; every key when the kernel lost changes. A folder that went
    // away counts as changed, and is no longer watched.
    std::vector<uint32_t> take_changed();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace bramwex::core::sys
