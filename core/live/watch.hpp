// The follower of a tree that live following keeps current. Two ways to
// follow: through the file-system event source (batches of events become
// paths relative to the root, changed or to be scanned again, plus the first
// missed-change reason), or by watching the folders the starter follows
// (each by itself) and polling those that cannot be watched.
// Threading: a Watcher belongs to the live thread alone; the source's reader
// reaches it only through the batch channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/channel.hpp"
#include "core/live/watch_reason.hpp"
#include "core/sys/event_source.hpp"
#include "core/sys/folder_watch.hpp"

namespace bramwex::core {

class Watcher {
  public:
    using Clock = std::chrono::steady_clock;

    // Following through the event source.
    struct Stream {
        ChannelReceiver<sys::EventBatch> batches;
        std::string root;                    // canonical, without a trailing '/' ("" for "/")
        std::vector<std::string> changed;    // relative to root, since the last tick
        std::vector<std::string> must_scan;  // relative to root, subtrees to scan again
        std::vector<uint32_t> relist;        // folder indices, filled and taken by the live loop
        std::optional<std::string> ignored;  // events at or below it are dropped
        Clock::time_point started;           // when the source started
        Clock::time_point last_event;        // when the last batch was absorbed
        std::optional<Clock::time_point> history_done;  // first history-done absorbed
        bool walked_whole = false;  // history done came in a batch that dropped nothing
        sys::EventSource source;
        bool settled = false;                  // the replay is settled (live loop)
        bool flushed = false;                  // flushed once after history done (live loop)
        std::optional<Reason> pending_reason;  // the first reason not yet taken
    };

    struct FollowedFolder {
        uint32_t index = 0;
        bool relist = true;    // to be listed again at the next poll
        bool watched = false;  // its watch says when it changed; else it is polled
        friend bool operator==(const FollowedFolder&, const FollowedFolder&) = default;
    };

    // Following the followed folders: those that can be watched are listed
    // again once they changed, the others at every poll. Every field is the
    // live loop's.
    struct Polling {
        std::vector<FollowedFolder> followed;
        sys::FolderWatch watches;           // of the followed folders that can be watched
        Clock::time_point relist_end;       // end of the last re-list (following's start at first)
        Clock::duration relist_duration{};  // of the last re-list (0 at first)
    };

    explicit Watcher(Stream stream) : how_(std::move(stream)) {}
    explicit Watcher(Polling polling) : how_(std::move(polling)) {}

    // Starts the event source on canonical_root replaying from since, with
    // the ignored folder (canonical, or as given); none when it cannot start.
    static std::optional<Watcher> follow_stream(std::string canonical_root, sys::EventId since,
                                                std::optional<std::string> ignored,
                                                sys::EventSourceFaults faults = {});

    // Polling with nothing followed yet, the last re-list ended at now;
    // on_change and max_user_watches (tests) are the watches' (see
    // FolderWatch).
    static Watcher follow_polling(Clock::time_point now, std::function<void()> on_change,
                                  std::shared_ptr<std::atomic<uint32_t>> max_user_watches);

    bool streams() const { return std::holds_alternative<Stream>(how_); }
    // The variant's fields; asking for the other variant is a broken contract.
    Stream& stream();
    const Stream& stream() const;
    Polling& polling();

    // Takes one batch. Each event is decided by the first of its flags that
    // holds: dropped (logged), ids wrapped or root changed are a missed
    // reason (the first one is kept), history done keeps its first time
    // (and whether its batch dropped nothing), must-scan and anything else
    // are paths relative to the root.
    void absorb(sys::EventBatch batch);

    // Absorbs every batch already queued, without waiting; how many there were.
    size_t absorb_queued();

    // The reason pending since it was last taken, leaving none.
    std::optional<Reason> take_pending_reason();

    // The path relative to the root (no leading '/'); none outside the root
    // or at or below the ignored folder.
    std::optional<std::string> folder_of(std::string_view path) const;

  private:
    std::variant<Stream, Polling> how_;
};

}  // namespace bramwex::core
