// The inotify event source: an inotify instance with a watch on every folder
// below the root (on the root's device), and the reader thread that turns
// the kernel's events into coalesced batches of paths and flags.
//
// The reader builds each event's path from the watch tree, so a folder
// renamed inside the root keeps its watches under its new name and a folder
// moved out loses them. While it adds a folder's watch it replays the folder
// and its entries changed since the replay point (for the first walk the
// source's "since" id, for a folder that appears the moment it appeared), so
// changes made before a watch existed still come through; the first walk
// ends with "history done". inotify keeps no history: ids are readings of the
// real-time clock, the clock file systems stamp changes with.
//
// Threading: the owner calls the lifecycle functions from one thread; the
// reader owns the watch tree and the pending events; they meet in the
// control block (mutex, condition variable, eventfd wake-up). The reader's
// half is in linux_inotify_reader.cpp.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/functional/function_ref.h>

#include "core/base/fd.hpp"
#include "core/sys/event_source.hpp"
#include "core/sys/linux_inotify_pending.hpp"
#include "core/sys/linux_inotify_tree.hpp"

namespace bramwex::core::sys::detail {

// Nanoseconds of the real-time clock.
uint64_t realtime_ns();

// Whatever moves a folder's entries or their bytes, and the folder itself
// going; reads and opens (our own listings among them) are left out.
inline constexpr uint32_t kEntryChangeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                             IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// Reads a non-blocking inotify instance until nothing is queued, handing on
// each event in order.
void read_inotify_events(int fd, absl::FunctionRef<void(const inotify_event&)> handle);

// The name of whatever is open at fd in this process: the kernel resolves it
// to the open inode itself, not to a path that a rename may have taken
// elsewhere, and it is short however deep the inode sits.
std::string fd_link(int fd);

// Adds one to an eventfd, waking whoever polls it. EAGAIN (the counter is
// already far from zero) wakes it anyway.
void signal_eventfd(int fd);

// Whether inotify sees the changes of a file system: it reports changes made
// through this machine's kernel only, so network and user-space file systems
// (changed elsewhere) and pseudo file systems (never "changed") do not.
bool fs_type_reports_changes(std::string_view fs_type);

class InotifySource {
  public:
    explicit InotifySource(EventSourceConfig config);
    InotifySource(const InotifySource&) = delete;
    InotifySource& operator=(const InotifySource&) = delete;
    ~InotifySource() { stop(); }

    // Opens the descriptors, watches the root and starts the reader.
    Result<void> start();
    void flush();
    void stop();

    dev_t root_device() const { return root_device_; }
    size_t watch_count() const { return watch_count_.load(std::memory_order_relaxed); }
    bool simulate_queue_overflow();

    bool running() const;

  private:
    using Clock = std::chrono::steady_clock;

    struct WalkItem {
        int parent = -1;     // watch of the parent; -1 for the root itself
        std::string name;    // inside the parent
        uint64_t replay_ns;  // replay what changed at or after this time
        bool first_walk;     // part of the walk that ends with history done
        // The parent as it was listed, so that the folder is reached whatever
        // the parent is called by now; none when the parent is opened by its
        // path (checked against its watch).
        std::shared_ptr<const UniqueFd> parent_fd = {};
        // Times put off for the kernel's queue to be read first: because the
        // parent's path led elsewhere, or the folder is in the table at
        // another place. Only tries after a read that brought nothing new
        // count.
        int parent_tries = 0;
        int placement_tries = 0;
        std::optional<std::chrono::steady_clock::time_point> first_put_off = {};
        uint64_t events_when_put_off = 0;
    };

    // Where a folder stood in the table: its parent's watch and its name.
    struct Place {
        int parent = -1;
        std::string name;
    };

    // A folder's rename as the queue told it, taken at once so that what
    // follows in the queue finds the folder at its new place, and kept
    // until the folder's own watch says it moved (IN_MOVE_SELF). The watch
    // at the old name may be stale (the name was reused or traded before
    // the watch came): then another watch, or none, says so.
    struct TakenMove {
        int wd = -1;
        Place from;
        Place to;
    };

    // Reader thread.
    void run();
    void read_and_deliver();
    void take_control(bool& stop, uint64_t& flush_ticket, uint32_t& overflows);
    void read_kernel_queue();
    void handle(const inotify_event& event);
    void handle_folder_event(const inotify_event& event, int parent, std::string_view name);
    // Moves the folder of watch moved in the table; false when the table
    // cannot hold it there (then it is forgotten or the table distrusted).
    bool move_watch(int moved, int parent, std::string_view name);
    void confirm_move(int wd);
    void undo_move(const TakenMove& move);
    // Asks for the subtree of watch wd to be scanned again.
    void scan_again(int wd);
    bool in_flight(int wd) const;
    void settle_unconfirmed_moves();
    void settle_unpaired_moves();
    void walk_some(size_t count);
    enum class Walked {
        Done,
        Later,      // waits in retry_ for the kernel's queue to be read first
        Restarted,  // the table was distrusted and the walk begun again
    };
    Walked walk(const WalkItem& item);
    UniqueFd open_by_watch(int wd, const std::string& path);
    UniqueFd open_parent(const WalkItem& item, const std::string& parent_path, bool& retry);
    Walked put_off(const WalkItem& item, int WalkItem::*tries);
    bool put_off_too_long(const WalkItem& item) const;
    int retry_timeout() const;
    std::optional<int> place_watch(const WalkItem& item, int wd, const struct stat& info,
                                   bool& later);
    std::shared_ptr<const UniqueFd> hold_for_children(int fd);
    void distrust_tree();
    void add_event(std::string_view path, EventFlags flags);
    void deliver();
    int poll_timeout() const;
    bool replayable(uint64_t changed_ns, uint64_t replay_ns) const;
    void forget(int wd, bool remove_watches);
    void resync_root();
    void mark_stopped();

    // Either thread while only one runs (start before the reader, stop after).
    // All but a reserve of the user's watch budget.
    uint64_t watch_budget() const;
    // ENOSPC (the budget spent) also sets watches_spent_.
    std::optional<int> add_folder_watch(const std::string& path, int& error, uint32_t mask);
    // The watch of the folder open at fd, wherever it has gone; as above
    // when counted (a watch the tree holds already is not). Without /proc it
    // is added at path, which led to the folder when it was opened, and kept
    // only if it still does (else ESTALE).
    std::optional<int> add_folder_watch_at(int fd, const std::string& path, int& error,
                                           bool counted = true);
    bool fd_links_missing(int error);
    std::optional<int> keep_if_open_folder(int fd, const std::string& path, std::optional<int> wd,
                                           int& error);
    bool attach_root(int& error);
    void watch_ancestors();
    void wake() const;

    // Fixed at creation.
    const EventSourceConfig config_;
    uint64_t max_user_watches_ = 0;  // the kernel's, read by start

    // Owner thread.
    std::thread reader_;
    UniqueFd inotify_fd_;
    UniqueFd wake_fd_;

    // Control block.
    mutable std::mutex control_mutex_;
    std::condition_variable control_changed_;
    bool running_ = false;  // from start until the reader ends
    bool stop_requested_ = false;
    uint64_t flush_requested_ = 0;
    uint64_t flush_done_ = 0;
    uint32_t overflows_simulated_ = 0;
    std::atomic<bool> stopping_{false};  // read by long walks
    std::atomic<size_t> watch_count_{0};

    // Reader thread (the starter before the reader exists).
    WatchTree tree_;
    dev_t root_device_ = 0;
    ino_t root_inode_ = 0;
    absl::flat_hash_map<int, std::string> ancestors_;  // watch -> the next component
    struct MovedFrom {
        int wd = -1;  // the watch at the name the folder left
        Place from;
    };
    absl::flat_hash_map<uint32_t, MovedFrom> moved_from_;  // by rename cookie
    std::vector<TakenMove> unconfirmed_moves_;             // oldest first
    uint64_t events_handled_ = 0;                          // read from the kernel's queue
    size_t held_fds_ = 0;  // of walk items' parents (before them: outlives them)
    std::vector<WalkItem> walk_;
    std::vector<WalkItem> retry_;  // walked again once the queue is read, when due
    Clock::time_point retry_due_{};
    size_t first_walk_left_ = 0;
    bool history_sent_ = false;
    bool watches_spent_ = false;  // a watch was refused for want of budget: the reader ends
    bool fd_links_work_ = true;   // till a watch through /proc/self/fd finds no /proc
    PendingEvents pending_;
    Clock::time_point deadline_{};
    std::optional<Clock::time_point> last_delivery_;  // none before the first
};

}  // namespace bramwex::core::sys::detail
