// The reader thread of the inotify event source: waits on the kernel queue
// and the owner's wake-up, keeps a watch on every folder, replays what
// changed before a watch existed, and hands coalesced batches to the callback.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <ranges>
#include <string>

#include "core/base/eintr.hpp"
#include "core/base/log.hpp"
#include "core/sys/linux_inotify_source.hpp"

namespace bramwex::core::sys::detail {

namespace {

constexpr std::string_view kLogTarget = "bramwex_core::sys::fsevents";

// Folders walked between two looks at the kernel queue and the control block.
constexpr size_t kWalkSlice = 64;

// Times an item is put off for each reason: its parent's path led elsewhere,
// or its folder is in the table at another place. The queue read in between
// should have set the table right; a try counts only when that read brought
// nothing new, and a put-off item waits a little for renames still on their
// way into the queue. While renames keep coming, an item is put off for
// kPutOffAtMost at most. A parent found at another place is put there by
// its own item, which is put off meanwhile: its children wait longer.
constexpr int kTriesAtMost = 3;
constexpr int kParentTriesAtMost = 2 * kTriesAtMost;
// How long the rest of a rename may take to follow its first event.
constexpr auto kRenameRestWait = std::chrono::milliseconds(3);
constexpr auto kRenameRestWaitAtMost = std::chrono::milliseconds(10);
constexpr auto kRetryWait = std::chrono::milliseconds(2);
constexpr auto kPutOffAtMost = std::chrono::seconds(2);

// Folders held open for their subfolders to be opened from; beyond this (a
// very deep walk) the subfolders' parent is opened at its path.
constexpr size_t kHeldParentsAtMost = 256;

constexpr uint64_t kNeverReplay = std::numeric_limits<uint64_t>::max();

// What a lost stretch of events asks of the watcher: scan it all again.
constexpr EventFlags kLost = kEventMustScanSubDirs | kEventUserDropped;

uint64_t stamp_ns(const timespec& time) {
    if (time.tv_sec < 0) {
        return 0;
    }
    return static_cast<uint64_t>(time.tv_sec) * 1'000'000'000u +
           static_cast<uint64_t>(time.tv_nsec);
}

uint64_t last_change_ns(const struct stat& info) {
    return std::max(stamp_ns(info.st_ctim), stamp_ns(info.st_mtim));
}

// The watch cannot be added because the folder is not there or not ours to
// read; the events of its parent still name it.
bool harmless_watch_error(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ELOOP ||
           error == EPERM;
}

EventFlags item_flags(uint32_t mask) {
    EventFlags flags = (mask & IN_ISDIR) != 0 ? kEventItemIsDir : kEventItemIsFile;
    if ((mask & IN_CREATE) != 0) {
        flags |= kEventItemCreated;
    }
    if ((mask & IN_DELETE) != 0) {
        flags |= kEventItemRemoved;
    }
    if ((mask & (IN_MOVED_FROM | IN_MOVED_TO)) != 0) {
        flags |= kEventItemRenamed;
    }
    if ((mask & IN_MODIFY) != 0) {
        flags |= kEventItemModified;
    }
    if ((mask & IN_ATTRIB) != 0) {
        flags |= kEventItemMetadata;
    }
    return flags;
}

std::chrono::steady_clock::duration latency_of(std::chrono::nanoseconds latency) {
    // A day at most: the deadline must stay representable.
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::clamp<std::chrono::nanoseconds>(latency, std::chrono::nanoseconds::zero(),
                                             std::chrono::hours(24)));
}

}  // namespace

void InotifySource::run() {
    try {
        read_and_deliver();
    } catch (const std::exception& failure) {
        // Whatever went wrong, the owner must hear that changes may be lost,
        // and the process must not end over it.
        log::record(log::Level::Warn, kLogTarget, "fsevents: reader stopped: {}", failure.what());
        // Ended before the owner hears of it (see the end of read_and_deliver).
        mark_stopped();
        try {
            pending_.add(config_.root, kLost, realtime_ns());
            deliver();
        } catch (...) {
        }
    } catch (...) {
        log::record(log::Level::Warn, kLogTarget, "fsevents: reader stopped");
    }
    mark_stopped();
}

void InotifySource::mark_stopped() {
    {
        std::lock_guard lock(control_mutex_);
        running_ = false;
    }
    control_changed_.notify_all();
}

void InotifySource::read_and_deliver() {
    uint64_t flush_ticket = 0;
    while (!watches_spent_) {
        pollfd fds[2] = {{inotify_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, poll_timeout());
        if (ready < 0 && errno != EINTR) {
            log::record(log::Level::Warn, kLogTarget, "fsevents: poll failed: {}",
                        std::strerror(errno));
            add_event(config_.root, kLost);
            mark_stopped();  // before the loss is told, as below
            deliver();
            return;
        }
        bool stop = false;
        uint32_t overflows = 0;
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            take_control(stop, flush_ticket, overflows);
            if (stop) {
                return;
            }
        }
        if ((ready > 0 && (fds[0].revents & POLLIN) != 0) || !retry_.empty()) {
            read_kernel_queue();
        }
        for (uint32_t i = 0; i < overflows; ++i) {
            inotify_event overflow{};
            overflow.wd = -1;
            overflow.mask = IN_Q_OVERFLOW;
            handle(overflow);
        }
        walk_some(kWalkSlice);
        if (watches_spent_) {
            break;  // the loss goes out below, once the source is marked ended
        }
        if (flush_ticket != 0) {
            // Everything before the flush, folders that appeared included:
            // their watches are added and their contents replayed first.
            read_kernel_queue();
            while ((!walk_.empty() || !retry_.empty()) && !watches_spent_ &&
                   !stopping_.load(std::memory_order_relaxed)) {
                if (walk_.empty()) {
                    pollfd queue{inotify_fd_.get(), POLLIN, 0};
                    ::poll(&queue, 1, retry_timeout());
                }
                walk_some(walk_.size());
                read_kernel_queue();
            }
            if (watches_spent_) {
                break;  // the waiter is freed by the source ending
            }
            deliver();
            {
                std::lock_guard lock(control_mutex_);
                flush_done_ = std::max(flush_done_, flush_ticket);
            }
            control_changed_.notify_all();
            flush_ticket = 0;
        } else if (!pending_.empty() && Clock::now() >= deadline_) {
            deliver();
        }
    }
    // Folders left without a watch would change unseen: the owner has been
    // told of dropped events there, and must follow some other way.
    log::record(log::Level::Warn, kLogTarget, "fsevents: out of inotify watches after {} folders",
                tree_.size());
    // Ended first: whoever hears of the dropped events finds the source ended.
    mark_stopped();
    deliver();
}

void InotifySource::take_control(bool& stop, uint64_t& flush_ticket, uint32_t& overflows) {
    uint64_t count = 0;
    retry_on_eintr([&] { return ::read(wake_fd_.get(), &count, sizeof count); });
    std::lock_guard lock(control_mutex_);
    stop = stop_requested_;
    if (flush_requested_ > flush_done_) {
        flush_ticket = flush_requested_;
    }
    overflows = std::exchange(overflows_simulated_, 0);
}

// Milliseconds until the items put off are due, rounded up; -1 for none.
int InotifySource::retry_timeout() const {
    if (retry_.empty()) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(retry_due_ - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kRetryWait.count()));
}

int InotifySource::poll_timeout() const {
    if (!walk_.empty()) {
        return 0;
    }
    const int retry = retry_timeout();
    if (pending_.empty()) {
        return retry;
    }
    const auto left = deadline_ - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up, so the deadline has passed when poll returns.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int until_deadline =
        static_cast<int>(std::min<int64_t>(ms, std::numeric_limits<int>::max()));
    return retry < 0 ? until_deadline : std::min(retry, until_deadline);
}

void InotifySource::read_kernel_queue() {
    const auto read = [&] {
        read_inotify_events(inotify_fd_.get(), [&](const inotify_event& event) {
            // The ends of watches we let go ourselves tell nothing new.
            if (event.wd < 0 || tree_.contains(event.wd) || ancestors_.contains(event.wd)) {
                ++events_handled_;
            }
            handle(event);
        });
    };
    read();
    // A rename's two halves and its folder's own word are queued one after
    // the other, and a read may fall between them: what is still unpaired
    // or unconfirmed waits a moment for the rest before it is settled, from
    // the last read on, within a bound.
    const auto started = Clock::now();
    auto deadline = started + kRenameRestWait;
    while (!moved_from_.empty() || !unconfirmed_moves_.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd queue{inotify_fd_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&queue, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        read();
        deadline = std::min(Clock::now() + kRenameRestWait, started + kRenameRestWaitAtMost);
    }
    settle_unconfirmed_moves();
    settle_unpaired_moves();
    // The renames that led a parent's path astray are in the tree by now,
    // or about to be.
    if (!retry_.empty() && Clock::now() >= retry_due_) {
        std::ranges::move(retry_, std::back_inserter(walk_));
        retry_.clear();
    }
}

// The root, or one of the folders above it, changed name or went away: say
// so, drop the watches of a root that is no longer at its path, and follow a
// folder that has come to stand at the path.
void InotifySource::resync_root() {
    add_event(config_.root, kEventRootChanged);
    struct stat info {};
    const bool present = retry_on_eintr([&] { return ::stat(config_.root.c_str(), &info); }) == 0 &&
                         S_ISDIR(info.st_mode);
    const bool same =
        present && tree_.root() >= 0 && info.st_dev == root_device_ && info.st_ino == root_inode_;
    if (same) {
        return;
    }
    if (tree_.root() >= 0) {
        for (const int wd : tree_.clear()) {
            ::inotify_rm_watch(inotify_fd_.get(), wd);
        }
        watch_count_.store(0, std::memory_order_relaxed);
    }
    watch_ancestors();
    if (!present) {
        return;
    }
    int error = 0;
    if (!attach_root(error)) {
        if (!harmless_watch_error(error)) {
            add_event(config_.root, kLost);
        }
        return;
    }
    walk_.push_back(WalkItem{-1, {}, kNeverReplay, false});
}

void InotifySource::handle(const inotify_event& event) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        // Events are lost, folders that appeared among them too: report the
        // loss and walk the whole tree again for watches it lacks.
        add_event(config_.root, kEventMustScanSubDirs | kEventKernelDropped);
        if (tree_.root() >= 0) {
            walk_.push_back(WalkItem{-1, {}, kNeverReplay, false});
        }
        return;
    }
    const std::string_view name =
        event.len == 0 ? std::string_view()
                       : std::string_view(event.name, ::strnlen(event.name, event.len));
    if (const auto ancestor = ancestors_.find(event.wd); ancestor != ancestors_.end()) {
        if ((event.mask & IN_IGNORED) != 0) {
            ancestors_.erase(ancestor);
        } else if (name == ancestor->second) {
            resync_root();
        }
        return;
    }
    if (!tree_.contains(event.wd)) {
        return;  // a watch already dropped
    }
    if (event.wd == tree_.root() &&
        (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0) {
        resync_root();
        return;
    }
    if ((event.mask & IN_IGNORED) != 0) {
        forget(event.wd, false);  // deleted, or its file system unmounted
        return;
    }
    if (name.empty()) {
        // About a folder itself: its parent reports it by name. Nothing
        // reports the root's mode by name, so its own watch does.
        if (event.wd == tree_.root() && (event.mask & IN_ATTRIB) != 0) {
            add_event(config_.root, kEventItemMetadata | kEventItemIsDir);
        }
        if ((event.mask & IN_MOVE_SELF) != 0) {
            confirm_move(event.wd);
        }
        return;
    }
    const auto folder = tree_.path_of(event.wd);
    if (!folder) {
        distrust_tree();
        return;
    }
    add_event(WatchTree::join(*folder, name), item_flags(event.mask));
    if ((event.mask & IN_ISDIR) != 0) {
        handle_folder_event(event, event.wd, name);
    }
}

void InotifySource::handle_folder_event(const inotify_event& event, int parent,
                                        std::string_view name) {
    const uint64_t now = realtime_ns();
    if ((event.mask & IN_MOVED_FROM) != 0) {
        if (const auto moved = tree_.child(parent, name)) {
            moved_from_[event.cookie] = MovedFrom{*moved, Place{parent, std::string(name)}};
        }
    } else if ((event.mask & IN_MOVED_TO) != 0) {
        const auto from = moved_from_.find(event.cookie);
        if (from != moved_from_.end() && tree_.contains(from->second.wd)) {
            const MovedFrom moved = std::move(from->second);
            moved_from_.erase(from);
            if (move_watch(moved.wd, parent, name)) {
                unconfirmed_moves_.push_back(
                    TakenMove{moved.wd, moved.from, Place{parent, std::string(name)}});
            }
        } else {
            walk_.push_back(WalkItem{parent, std::string(name), now, false});
        }
    } else if ((event.mask & IN_CREATE) != 0) {
        walk_.push_back(WalkItem{parent, std::string(name), now, false});
    } else if ((event.mask & IN_DELETE) != 0) {
        // Its own watch ends only once whoever holds it open lets go; till
        // then its path leads nowhere, and what was queued below it must not
        // wait for that path to come back.
        if (const auto removed = tree_.child(parent, name)) {
            forget(*removed, true);
        }
    } else if ((event.mask & IN_ATTRIB) != 0 && !tree_.child(parent, name)) {
        // A folder without a watch may have just become readable.
        walk_.push_back(WalkItem{parent, std::string(name), now, false});
    }
}

bool InotifySource::move_watch(int moved, int parent, std::string_view name) {
    if (tree_.move(moved, parent, name)) {
        return true;
    }
    if (in_flight(parent)) {
        // Into a folder that left for a place nobody watches: it went there
        // too, and is watched when that place is walked (or never, with a
        // folder that left the root).
        forget(moved, true);
    } else {
        distrust_tree();
    }
    return false;
}

// The folder of watch wd moved. A move taken for it is right. A move taken
// from the place wd stood (by its parent's events) for another watch was
// taken by a stale name: an exchange, or a name reused before its watch
// came, put that watch there. wd is what moved, and the other watch goes
// back. A move of wd that none was taken for went where nobody watches, and
// a lone "moved from" says so. Renames of other writers may come between a
// rename's halves and this, so the move is found by place, not by order.
void InotifySource::confirm_move(int wd) {
    const auto taken = std::ranges::find_if(unconfirmed_moves_,
                                            [&](const TakenMove& move) { return move.wd == wd; });
    if (taken != unconfirmed_moves_.end()) {
        unconfirmed_moves_.erase(taken);
        return;
    }
    const auto place = tree_.place_of(wd);
    if (!place) {
        return;
    }
    const auto left_from_there = [&](const Place& from) {
        return from.parent == place->first && from.name == place->second;
    };
    // A folder that left for a place nobody watches: its own "moved from",
    // or one taken for another watch at its place, which then stays.
    for (auto& [cookie, moved] : moved_from_) {
        if (moved.wd == wd) {
            return;
        }
    }
    for (auto& [cookie, moved] : moved_from_) {
        if (left_from_there(moved.from)) {
            moved.wd = wd;
            return;
        }
    }
    const auto stale = std::ranges::find_if(
        unconfirmed_moves_, [&](const TakenMove& move) { return left_from_there(move.from); });
    if (stale == unconfirmed_moves_.end()) {
        return;
    }
    const TakenMove move = std::move(*stale);
    unconfirmed_moves_.erase(stale);
    undo_move(move);
    if (move_watch(wd, move.to.parent, move.to.name)) {
        scan_again(wd);
    }
}

// While the move was taken, what the queue told of below the watch was put
// at the place it had not gone to: its subtree is scanned again.
void InotifySource::undo_move(const TakenMove& move) {
    if (tree_.contains(move.wd) && tree_.contains(move.from.parent) &&
        tree_.move(move.wd, move.from.parent, move.from.name)) {
        scan_again(move.wd);
    }
}

void InotifySource::scan_again(int wd) {
    if (const auto path = tree_.path_of(wd)) {
        add_event(*path, kEventMustScanSubDirs | kEventItemIsDir);
    }
}

// A watched folder that moves says so on its own watch right after the
// rename's two halves; once the queue has been read, a move taken without
// that word was taken by a stale name. The folder that did move had no
// watch: its new place is walked.
void InotifySource::settle_unconfirmed_moves() {
    const uint64_t now = realtime_ns();
    // Newest first: a watch taken along several moves goes back step by step.
    for (const TakenMove& move : std::views::reverse(unconfirmed_moves_)) {
        undo_move(move);
        if (tree_.contains(move.to.parent)) {
            walk_.push_back(WalkItem{move.to.parent, move.to.name, now, false});
        }
    }
    unconfirmed_moves_.clear();
}

// Whether wd is in a folder that has moved from its place to where no
// watched folder heard it arrive.
bool InotifySource::in_flight(int wd) const {
    return std::ranges::any_of(
        moved_from_, [&](const auto& entry) { return tree_.is_within(wd, entry.second.wd); });
}

// Both halves of a rename are queued together, so once the kernel queue is
// empty a lone "moved from" is a folder that left the root, or went to a
// folder not watched yet whose walk will find it.
void InotifySource::settle_unpaired_moves() {
    for (const auto& [cookie, moved] : moved_from_) {
        forget(moved.wd, true);
    }
    moved_from_.clear();
}

void InotifySource::walk_some(size_t count) {
    for (size_t i = 0; i < count && !walk_.empty() && !watches_spent_; ++i) {
        if (stopping_.load(std::memory_order_relaxed)) {
            return;
        }
        const WalkItem item = std::move(walk_.back());
        walk_.pop_back();
        if (walk(item) == Walked::Done && item.first_walk && --first_walk_left_ == 0 &&
            !history_sent_) {
            history_sent_ = true;
            add_event({}, kEventHistoryDone);
        }
    }
}

bool InotifySource::replayable(uint64_t changed_ns, uint64_t replay_ns) const {
    if (replay_ns == kNeverReplay) {
        return false;
    }
    const auto slack =
        static_cast<uint64_t>(std::max<int64_t>(config_.faults.timestamp_slack.count(), 0));
    return changed_ns >= (replay_ns > slack ? replay_ns - slack : 0);
}

// Watches one folder, then replays it and its entries as of item.replay_ns and
// queues its subfolders on the root's device. The watch comes first: what
// changes after it is an event, what changed before it shows in the times.
// A folder is opened through its parent's descriptor and watched through its
// own, so a rename meanwhile cannot lose it or put another folder in its place.
InotifySource::Walked InotifySource::walk(const WalkItem& item) {
    int wd = tree_.root();
    std::string path = config_.root;
    UniqueFd fd;
    if (item.parent < 0) {
        if (wd < 0) {
            return Walked::Done;
        }
        fd.reset(retry_on_eintr(
            [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    } else {
        if (!tree_.contains(item.parent)) {
            return Walked::Done;  // the parent went away meanwhile
        }
        const auto parent_path = tree_.path_of(item.parent);
        if (!parent_path) {
            distrust_tree();
            return Walked::Restarted;
        }
        path = WatchTree::join(*parent_path, item.name);
        if (config_.faults.before_watch) {
            config_.faults.before_watch(path);
        }
        UniqueFd opened_parent;
        int parent_fd = item.parent_fd ? item.parent_fd->get() : -1;
        if (parent_fd < 0) {
            bool retry = false;
            opened_parent = open_parent(item, *parent_path, retry);
            if (retry) {
                if (item.parent_tries >= kParentTriesAtMost || put_off_too_long(item)) {
                    distrust_tree();
                    return Walked::Restarted;
                }
                return put_off(item, &WalkItem::parent_tries);
            }
            if (!opened_parent) {
                if (const int error = errno; !harmless_watch_error(error)) {
                    add_event(path, kLost);  // out of descriptors, say
                }
                return Walked::Done;
            }
            parent_fd = opened_parent.get();
        }
        fd.reset(retry_on_eintr([&] {
            return ::openat(parent_fd, item.name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }));
        int error = errno;
        struct stat info {};
        if (fd && retry_on_eintr([&] { return ::fstat(fd.get(), &info); }) != 0) {
            error = errno;
            fd.reset();
        }
        if (fd && info.st_dev != root_device_) {
            return Walked::Done;
        }
        std::optional<int> added;
        if (fd) {
            added = add_folder_watch_at(fd.get(), path, error);
        }
        if (!added && error == ESTALE && item.placement_tries < kTriesAtMost &&
            !put_off_too_long(item)) {
            // Watched by a path that led elsewhere: the renames that explain
            // it are read first.
            return put_off(item, &WalkItem::placement_tries);
        }
        if (!added) {
            if (!harmless_watch_error(error)) {
                // ENOSPC (the watch budget spent) lands here; the reader then ends.
                log::record(log::Level::Debug, kLogTarget, "fsevents: cannot watch {}: {}", path,
                            std::strerror(error));
                add_event(path, kLost);
            }
            return Walked::Done;
        }
        bool later = false;
        const auto placed = place_watch(item, *added, info, later);
        if (later) {
            return put_off(item, &WalkItem::placement_tries);
        }
        if (!placed) {
            return Walked::Done;
        }
        wd = *placed;
        watch_count_.store(tree_.size(), std::memory_order_relaxed);
    }
    if (!fd) {
        return Walked::Done;
    }
    struct stat own {};
    if (retry_on_eintr([&] { return ::fstat(fd.get(), &own); }) == 0 &&
        replayable(last_change_ns(own), item.replay_ns)) {
        add_event(path, kEventItemModified | kEventItemIsDir);
    }
    // The listing reads a copy of the descriptor; the folder's own stays
    // open for its subfolders to be opened from.
    UniqueFd copy(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(copy ? ::fdopendir(copy.get()) : nullptr,
                                                      &::closedir);
    if (!listing) {
        return Walked::Done;
    }
    copy.release();  // closed with the listing
    const int folder = ::dirfd(listing.get());
    std::shared_ptr<const UniqueFd> held;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat info {};
        if (retry_on_eintr([&] {
                return ::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW);
            }) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            if (info.st_dev == root_device_) {
                if (!held && fd) {
                    held = hold_for_children(fd.release());
                }
                walk_.push_back(
                    WalkItem{wd, std::string(name), item.replay_ns, item.first_walk, held});
                if (item.first_walk) {
                    ++first_walk_left_;
                }
            }
        } else if (replayable(last_change_ns(info), item.replay_ns)) {
            add_event(WatchTree::join(path, name), kEventItemModified | kEventItemIsFile);
        }
    }
    return Walked::Done;
}

// The folder of watch wd, opened at its path; a path too long for one call
// is followed a name at a time from the root.
UniqueFd InotifySource::open_by_watch(int wd, const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(retry_on_eintr([&] { return ::open(path.c_str(), kFlags); }));
    if (fd || errno != ENAMETOOLONG) {
        return fd;
    }
    const auto names = tree_.names_of(wd);
    if (!names) {
        return fd;
    }
    fd.reset(retry_on_eintr([&] { return ::open(names->front()->c_str(), kFlags); }));
    for (size_t i = 1; fd && i < names->size(); ++i) {
        fd.reset(retry_on_eintr([&] { return ::openat(fd.get(), (*names)[i]->c_str(), kFlags); }));
    }
    return fd;
}

// The parent of an item queued by an event, opened at the path the tree
// gives it. A rename not yet read from the queue may have taken that path
// elsewhere: then retry is set, for once the queue has been read.
UniqueFd InotifySource::open_parent(const WalkItem& item, const std::string& parent_path,
                                    bool& retry) {
    UniqueFd fd = open_by_watch(item.parent, parent_path);
    if (!fd) {
        retry = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        return fd;
    }
    // Watched already, the folder gets its own watch back: the same one
    // only if the path still leads to the parent.
    // (Not counted against the budget: it is a watch the tree holds already.)
    int error = 0;
    const auto wd = add_folder_watch_at(fd.get(), parent_path, error, false);
    if (wd == item.parent) {
        return fd;
    }
    if (wd && !tree_.contains(*wd) && !ancestors_.contains(*wd)) {
        ::inotify_rm_watch(inotify_fd_.get(), *wd);
    }
    retry = wd || error == ESTALE;
    errno = error;
    return {};
}

InotifySource::Walked InotifySource::put_off(const WalkItem& item, int WalkItem::*tries) {
    const auto now = Clock::now();
    if (retry_.empty()) {
        retry_due_ = now + kRetryWait;
    }
    WalkItem& later = retry_.emplace_back(item);
    // A read that brought renames may have set the table right, or be about
    // to: only a try after a quiet read counts.
    if (item.first_put_off) {
        if (item.events_when_put_off == events_handled_) {
            ++(later.*tries);
        }
    } else {
        later.first_put_off = now;
    }
    later.events_when_put_off = events_handled_;
    return Walked::Later;
}

bool InotifySource::put_off_too_long(const WalkItem& item) const {
    return item.first_put_off && Clock::now() - *item.first_put_off > kPutOffAtMost;
}

// Files watch wd as the parent's entry; the watch to list from, or none.
// Later is set while the queue may still hold the moves that took the
// folder there.
std::optional<int> InotifySource::place_watch(const WalkItem& item, int wd, const struct stat& info,
                                              bool& later) {
    if (tree_.add(item.parent, item.name, wd) != WatchTree::Added::Elsewhere) {
        return wd;
    }
    if (!tree_.contains(wd) || wd == tree_.root()) {
        return std::nullopt;
    }
    // The kernel gives an inode one watch, so this folder is in the tree at
    // another place already. While that place still leads to it, it is a
    // second path to the folder (a bind mount), followed at the first;
    // otherwise the folder moved here and the events saying so are queued.
    const auto old_path = tree_.path_of(wd);
    struct stat old {};
    if (old_path && retry_on_eintr([&] { return ::lstat(old_path->c_str(), &old); }) == 0 &&
        old.st_dev == info.st_dev && old.st_ino == info.st_ino) {
        return std::nullopt;
    }
    // Moved here ahead of older moves still queued, it would be out of step
    // with them: they are read first. A folder still elsewhere after a few
    // reads has lost its moves (an overflow) or keeps moving, and is moved here.
    if (item.placement_tries < kTriesAtMost && !put_off_too_long(item)) {
        later = true;
        return std::nullopt;
    }
    // A folder cannot move inside itself: a bind mount of it below itself.
    if (!tree_.move(wd, item.parent, item.name)) {
        return std::nullopt;
    }
    // Till now what happened below it was told at its old place.
    if (old_path) {
        add_event(*old_path, kEventMustScanSubDirs | kEventItemIsDir);
    }
    scan_again(wd);
    return wd;
}

std::shared_ptr<const UniqueFd> InotifySource::hold_for_children(int fd) {
    if (held_fds_ >= kHeldParentsAtMost) {
        ::close(fd);  // the children's parent is opened at its path instead
        return nullptr;
    }
    ++held_fds_;
    return std::shared_ptr<const UniqueFd>(new UniqueFd(fd), [this](const UniqueFd* held) {
        --held_fds_;
        delete held;
    });
}

// The watch tree disagrees with itself (a folder inside itself): no path
// built from it can be believed. Say that events are lost, and watch
// everything again from the root.
void InotifySource::distrust_tree() {
    log::record(log::Level::Warn, kLogTarget, "fsevents: watch table out of step; watching again");
    add_event(config_.root, kLost);
    for (const int wd : tree_.clear()) {
        ::inotify_rm_watch(inotify_fd_.get(), wd);
    }
    watch_count_.store(0, std::memory_order_relaxed);
    moved_from_.clear();
    unconfirmed_moves_.clear();
    walk_.clear();
    retry_.clear();
    first_walk_left_ = 0;
    int error = 0;
    if (!attach_root(error)) {
        return;  // the root's own events or its ancestors' tell what became of it
    }
    const bool first = !history_sent_;
    walk_.push_back(WalkItem{-1, {}, kNeverReplay, first});
    first_walk_left_ = first ? 1 : 0;
}

void InotifySource::add_event(std::string_view path, EventFlags flags) {
    if (pending_.empty()) {
        // The first change after a quiet spell goes out at once; later ones
        // wait out the latency from the last delivery, gathering as they wait.
        const auto now = Clock::now();
        const auto latency = latency_of(config_.latency);
        const bool quiet = !last_delivery_ || now - *last_delivery_ >= latency;
        deadline_ = quiet ? now : *last_delivery_ + latency;
    }
    pending_.add(path, flags, realtime_ns());
}

void InotifySource::deliver() {
    if (pending_.empty()) {
        return;
    }
    EventBatch batch = pending_.take();
    if (config_.on_batch) {
        config_.on_batch(std::move(batch));
    }
    last_delivery_ = Clock::now();
}

}  // namespace bramwex::core::sys::detail
