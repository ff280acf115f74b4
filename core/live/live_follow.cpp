// The Following phase: starting the event stream or polling, the ticks of
// both, and the rescans they lead to.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <utility>

#include "core/base/eintr.hpp"
#include "core/base/fatal.hpp"
#include "core/base/fd.hpp"
#include "core/base/log.hpp"
#include "core/live/live_loop.hpp"
#include "core/live/rescan_paths.hpp"

namespace bramwex::core {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kReplayWait = seconds(30);   // for the stream's history-done marker
constexpr auto kQuiet = milliseconds(200);  // after the replay, before the first rescan
constexpr auto kQuietAtMost = seconds(2);   // ... counted from the history-done marker
constexpr auto kPollAtLeast = seconds(2);   // between two polls
constexpr int64_t kPollBackOff = 10;        // times the last re-list's duration

std::optional<std::string> canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

// Whether following may use the event stream: the starter wants everything
// followed, and the system has an event source at all.
bool stream_wanted(const LiveSettings& settings, const Tree& tree) {
    return settings.watch && !settings.shown_only && tree.event_id != 0;
}

std::optional<Watcher> stream_watcher(const LiveLoop& loop, const Tree& tree) {
    const LiveSettings& settings = loop.settings;
    const auto root = canonical(settings.root);
    if (!root) {
        return std::nullopt;
    }
    std::optional<std::string> ignored;
    if (settings.ignored) {
        ignored = canonical(*settings.ignored).value_or(*settings.ignored);
    }
    return Watcher::follow_stream(*root, tree.event_id, std::move(ignored), settings.event_faults);
}

// Subtrees to scan again that the tree does not hold are new: the listing of
// the deepest folder it holds finds them and scans them whole, where a scan of
// that folder's subtree might be a scan of everything.
void list_new_subtrees(const Tree& tree, ChangeSets& changes) {
    if (changes.must_scan.empty()) {
        return;
    }
    ChildNames children(tree, tree.compute_index());
    std::erase_if(changes.must_scan, [&](const std::string& path) {
        if (find_path(children, path).found) {
            return false;
        }
        changes.changed.push_back(path);
        return true;
    });
}

// A change in a watched folder wakes the loop through its channel.
Watcher polling_watcher(const LiveLoop& loop, LiveClock::time_point now) {
    return Watcher::follow_polling(
        now, [sender = loop.sender] { sender.send(LiveMsg{LiveMsg::Watched{}}); },
        loop.settings.event_faults.max_user_watches);
}

void tick_stream(LiveLoop& loop, FollowingPhase& following, LiveClock::time_point now) {
    Watcher& watcher = following.watcher;
    Watcher::Stream& stream = watcher.stream();
    watcher.absorb_queued();
    // The reader tells the loss that ends it once it is marked ended: what
    // was absorbed while it still runs is a passing loss.
    const bool running = stream.source.running();
    if (!running) {
        stream.source.stop();  // its last batch is queued once it is joined
        watcher.absorb_queued();
    }
    if (stream.history_done && (running || stream.walked_whole)) {
        loop.lasting_loss_told = false;  // every folder was watched: a later loss is news
    }
    const auto reason = watcher.take_pending_reason();
    if (!running) {
        // The reader failed or ran out of watches (it said so with a dropped
        // batch, reported below): no event will come, so poll what the
        // starter follows. Whoever hears of the drop finds polling in place.
        log::record(log::Level::Warn, "bramwex_core::live", "live: {}: events stopped, polling",
                    loop.settings.root);
        following.watcher = polling_watcher(loop, now);
        loop.control->follows_all.store(false, std::memory_order_relaxed);
    }
    // A loss that ended the stream outlasts the full scan it asks for: told
    // once, as when the stream cannot start; a passing one every time.
    const bool lasting = !running && reason == Reason::Dropped;
    if (reason && (!lasting || !std::exchange(loop.lasting_loss_told, true))) {
        report_missed(loop, *reason, loop.settings.root);
    }
    if (reason || !following.watcher.streams()) {
        return;
    }
    if (!stream.settled) {
        if (stream.history_done && !stream.flushed) {
            stream.flushed = true;
            stream.source.flush();
            watcher.absorb_queued();
        }
        if (!stream.history_done) {
            if (now - stream.started > kReplayWait) {
                stream.settled = true;
                report_missed(loop, Reason::NoReplay, loop.settings.root);
            }
            return;
        }
        if (now - stream.last_event < kQuiet && now - *stream.history_done < kQuietAtMost) {
            return;  // still replaying: wait for quiet
        }
        stream.settled = true;
    }
    ChangeSets changes;
    changes.changed = std::exchange(stream.changed, {});
    changes.must_scan = std::exchange(stream.must_scan, {});
    changes.relist = std::exchange(stream.relist, {});
    // A subtree whose changes were folded together is scanned again; the
    // root's is everything, which only the starter may ask for, so it is
    // reported and the rest goes on.
    if (std::erase(changes.must_scan, std::string()) != 0) {
        report_missed(loop, Reason::MustScan, loop.settings.root);
    }
    list_new_subtrees(following.tree, changes);
    if (!changes.empty()) {
        rescan_changed(loop, following, changes, false);
    }
}

void tick_polling(LiveLoop& loop, FollowingPhase& following, LiveClock::time_point now) {
    Watcher::Polling& polling = following.watcher.polling();
    const std::vector<uint32_t> changed = polling.watches.take_changed();
    for (Watcher::FollowedFolder& folder : polling.followed) {
        if (folder.watched && std::ranges::binary_search(changed, folder.index)) {
            folder.relist = true;
            // A folder whose watch went with it is polled from now on.
            folder.watched = polling.watches.watches(folder.index);
        }
    }
    const auto last = polling.relist_duration;
    if (last.count() > std::numeric_limits<LiveClock::rep>::max() / kPollBackOff) {
        fatal("overflow when multiplying duration by scalar");
    }
    const auto back_off = last * kPollBackOff;
    const auto since = now - polling.relist_end;
    if (since < back_off) {
        return;
    }
    // A watched folder is listed again as soon as it changed; the others
    // have to be polled, never sooner than the poll's floor.
    const bool poll = since >= std::max<LiveClock::duration>(back_off, kPollAtLeast);
    ChangeSets changes;
    for (Watcher::FollowedFolder& folder : polling.followed) {
        if (folder.relist && (folder.watched || poll)) {
            changes.relist.push_back(folder.index);
            folder.relist = !folder.watched;
        }
    }
    if (!changes.empty()) {
        rescan_changed(loop, following, changes, false);
    }
}

}  // namespace

void start_following(LiveLoop& loop, Tree tree, LinkHolders link_holders) {
    const bool wanted = stream_wanted(loop.settings, tree);
    std::optional<Watcher> watcher = wanted ? stream_watcher(loop, tree) : std::nullopt;
    const bool streams = watcher.has_value();
    if (!watcher) {
        watcher = polling_watcher(loop, LiveClock::now());
    }
    loop.control->follows_all.store(streams, std::memory_order_relaxed);
    auto ready = std::make_shared<const Tree>(tree.clone());
    loop.phase = FollowingPhase{std::move(tree), std::move(link_holders), std::move(*watcher)};
    emit(loop, Event{Event::Ready{std::move(ready)}});
    if (wanted && !streams) {
        // No inotify instance or watch to be had: as when the watches run out
        // later, the starter hears that changes go unseen (once while it
        // lasts), and polls what it follows.
        log::record(log::Level::Warn, "bramwex_core::live",
                    "live: {}: events cannot start, polling", loop.settings.root);
        if (!std::exchange(loop.lasting_loss_told, true)) {
            report_missed(loop, Reason::Dropped, loop.settings.root);
        }
    }
}

void tick_following(LiveLoop& loop, FollowingPhase& following, LiveClock::time_point now) {
    if (following.watcher.streams()) {
        const auto& requests = loop.settings.event_faults.overflow_requests;
        if (requests && requests->exchange(0) > 0) {
            following.watcher.stream().source.simulate_queue_overflow();
        }
        tick_stream(loop, following, now);
    } else {
        tick_polling(loop, following, now);
    }
}

void followed_folder_changed(LiveLoop& loop, FollowingPhase& following) {
    if (!following.watcher.streams()) {
        tick_polling(loop, following, LiveClock::now());
    }
}

std::vector<uint32_t> resolve_folder_ids(const Tree& tree, std::span<const FolderId> ids) {
    std::vector<uint32_t> indices;
    for (const FolderId id : ids) {
        if ((id.generation == 0 || id.generation == tree.generation) &&
            id.index < tree.record_count() && !(tree.folders[id.index].flags & kFlagRemoved)) {
            indices.push_back(id.index);
        }
    }
    return indices;
}

void follow_folders(FollowingPhase& following, std::span<const FolderId> ids) {
    if (following.watcher.streams()) {
        return;  // the stream follows everything
    }
    const Tree& tree = following.tree;
    std::vector<uint32_t> wanted = resolve_folder_ids(tree, ids);
    std::erase_if(wanted, [&](uint32_t index) {
        return (tree.folders[index].flags & (kFlagUnreadable | kFlagOtherDevice)) != 0;
    });
    Watcher::Polling& polling = following.watcher.polling();
    std::erase_if(polling.followed, [&](const Watcher::FollowedFolder& folder) {
        const bool gone = std::find(wanted.begin(), wanted.end(), folder.index) == wanted.end();
        if (gone) {
            polling.watches.remove(folder.index);
        }
        return gone;
    });
    for (const uint32_t index : wanted) {
        const bool known = std::any_of(polling.followed.begin(), polling.followed.end(),
                                       [&](const auto& folder) { return folder.index == index; });
        if (!known) {
            // Listed once more from its watch on, in case it changed since
            // it was last listed; after that only when it changes.
            const bool watched = polling.watches.add(index, tree.absolute_path(index));
            polling.followed.push_back({index, true, watched});
        }
    }
}

void rescan_changed(LiveLoop& loop, FollowingPhase& following, const ChangeSets& changes,
                    bool requested) {
    step(loop.settings, LiveStep::Rescan);
    const ScanOptions options = live_scan_options(loop);
    const auto started = LiveClock::now();
    const uint32_t generation = following.tree.generation;
    auto outcome =
        rescan_folders(following.tree, following.link_holders, changes, options, *loop.pool);
    if (!following.watcher.streams()) {
        Watcher::Polling& polling = following.watcher.polling();
        const auto now = LiveClock::now();
        polling.relist_end = now;
        polling.relist_duration = now > started ? now - started : LiveClock::duration::zero();
    }
    if (!outcome) {
        emit(loop, std::unexpected(outcome.error()));
        return;
    }
    if (outcome->kind == RescanOutcome::Kind::RootMustBeScanned) {
        report_missed(loop, Reason::MustScan, loop.settings.root);
        return;
    }
    // A tree rebuilt without its removed folders numbers its folders anew:
    // folders followed by index are dropped, and the starter must hear of it.
    const bool renumbered = following.tree.generation != generation;
    if (renumbered && !following.watcher.streams()) {
        following.watcher.polling().followed.clear();
        following.watcher.polling().watches.clear();
    }
    if (outcome->kind == RescanOutcome::Kind::Changes || requested || renumbered) {
        emit(loop, Event{Event::Changed{std::make_shared<const Tree>(following.tree.clone()),
                                        std::move(outcome->changes)}});
    }
}

}  // namespace bramwex::core
