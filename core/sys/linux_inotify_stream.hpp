// One stand-in event stream: the life of a stream (create, queue, start,
// flush, stop, invalidate, release) over an inotify instance and the reader
// thread that plays the stream's serial queue.
//
// The reader adds a watch for every folder below the root on the root's
// device, newest folders as they appear, and turns the kernel's events into
// paths: an event on an entry reports the entry's path, a folder renamed
// inside the root keeps its watches under its new name, a folder moved out
// loses them. While it adds a folder's watch it replays the folder and its
// entries changed since the replay point (for the first walk the stream's
// "since" id, for a folder that appears the moment it appeared), so changes
// made before a watch existed still come through; the first walk ends with
// "history done".
//
// Threading: the owner calls the lifecycle functions from one thread; the
// reader owns the watch tree and the pending events; they meet in the
// control block (mutex, condition variable, eventfd wake-up). The reader's
// half is in linux_inotify_reader.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/sys/fsevents_types.hpp"
#include "core/sys/linux_inotify_api.hpp"
#include "core/sys/linux_inotify_objects.hpp"
#include "core/sys/linux_inotify_pending.hpp"
#include "core/sys/linux_inotify_tree.hpp"

struct inotify_event;

namespace bramwex::core::sys::inotify {

class InotifyStream {
  public:
    InotifyStream(FsEventStreamCallback callback, void* info, std::string root,
                  FsEventStreamEventId since, double latency_seconds, uint32_t flags,
                  sys::detail::InotifySettings settings);
    InotifyStream(const InotifyStream&) = delete;
    InotifyStream& operator=(const InotifyStream&) = delete;
    ~InotifyStream();

    void set_queue(SerialQueue* queue);
    bool start();
    void flush_sync();
    void stop();
    void invalidate();

    bool inject_overflow();
    size_t watch_count() const { return watch_count_.load(std::memory_order_relaxed); }

  private:
    using Clock = std::chrono::steady_clock;

    struct WalkItem {
        int parent = -1;     // watch of the parent; -1 for the root itself
        std::string name;    // inside the parent
        uint64_t replay_ns;  // replay what changed at or after this time
        bool first_walk;     // part of the walk that ends with history done
    };

    // Reader thread.
    void run();
    void take_control(bool& stop, uint64_t& flush_ticket, uint32_t& overflows);
    void read_kernel_queue();
    void handle(const inotify_event& event);
    void handle_folder_event(const inotify_event& event, int parent, std::string_view name);
    void settle_unpaired_moves();
    void walk_some(size_t count);
    void walk(const WalkItem& item);
    void add_event(std::string_view path, FsEventStreamEventFlags flags);
    void deliver();
    int poll_timeout() const;
    bool replayable(uint64_t changed_ns, uint64_t replay_ns) const;
    void forget(int wd, bool remove_watches);
    void resync_root();

    // Either thread while only one runs (start before the reader, stop after).
    std::optional<int> add_folder_watch(const std::string& path, int& error);
    bool attach_root(int& error);
    void watch_ancestors();
    void close_descriptors();
    void wake() const;

    // Fixed at creation.
    const FsEventStreamCallback callback_;
    void* const info_;
    const std::string root_;
    const FsEventStreamEventId since_;
    const Clock::duration latency_;
    const uint32_t flags_;
    const sys::detail::InotifySettings settings_;

    // Owner thread.
    SerialQueue* queue_ = nullptr;  // retained while set
    bool started_ = false;
    std::thread reader_;
    int inotify_fd_ = -1;
    int wake_fd_ = -1;

    // Control block.
    mutable std::mutex control_mutex_;
    std::condition_variable control_changed_;
    bool running_ = false;  // from start until the reader ends
    bool stop_requested_ = false;
    uint64_t flush_requested_ = 0;
    uint64_t flush_done_ = 0;
    uint32_t overflows_injected_ = 0;
    std::atomic<bool> stopping_{false};  // read by long walks
    std::atomic<size_t> watch_count_{0};

    // Reader thread (the starter before the reader exists).
    WatchTree tree_;
    dev_t root_device_ = 0;
    ino_t root_inode_ = 0;
    absl::flat_hash_map<int, std::string> ancestors_;  // watch -> the next component
    absl::flat_hash_map<uint32_t, int> moved_from_;    // rename cookie -> folder watch
    std::vector<WalkItem> walk_;
    size_t first_walk_left_ = 0;
    bool history_sent_ = false;
    PendingEvents pending_;
    Clock::time_point deadline_{};
    Clock::time_point last_delivery_{};
};

}  // namespace bramwex::core::sys::inotify
