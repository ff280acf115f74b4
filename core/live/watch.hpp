// The follower of a tree that live following keeps current. Two ways to
// follow: through the event stream (batches of FsEvents become paths
// relative to the root, changed or to be scanned again, plus the first
// missed-change reason), or by polling the folders the starter follows.
// Threading: a Watcher belongs to the live thread alone; the stream's
// callbacks reach it only through the batch channel.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/live/watch_reason.hpp"
#include "core/sys/fsevents_api.hpp"
#include "core/sys/fsevents_channel.hpp"
#include "core/sys/fsevents_firmlinks.hpp"
#include "core/sys/fsevents_stream.hpp"

namespace bramwex::core {

class Watcher {
  public:
    using Clock = std::chrono::steady_clock;

    // Following through the event stream.
    struct Stream {
        sys::BatchReceiver batches;
        std::string root;  // canonical, without a trailing '/' ("" for "/")
        std::vector<sys::FirmlinkPair> firmlinks;
        std::vector<std::string> changed;    // relative to root, since the last tick
        std::vector<std::string> must_scan;  // relative to root, the OS asked for them
        std::vector<uint32_t> relist;        // folder indices, filled and taken by the live loop
        std::optional<std::string> ignored;  // events at or below it are dropped
        Clock::time_point started;           // when the stream started
        Clock::time_point last_event;        // when the last batch was absorbed
        std::optional<Clock::time_point> history_done;  // first history-done absorbed
        sys::FsEventStream stream;
        bool settled = false;                  // the replay is settled (live loop)
        bool flushed = false;                  // flushed once after history done (live loop)
        std::optional<Reason> pending_reason;  // the first reason not yet taken
    };

    struct FollowedFolder {
        uint32_t index = 0;
        bool relist = true;  // to be listed again at the next poll
        friend bool operator==(const FollowedFolder&, const FollowedFolder&) = default;
    };

    // Following by polling the followed folders; every field is the live loop's.
    struct Polling {
        std::vector<FollowedFolder> followed;
        Clock::time_point relist_end;       // end of the last re-list (following's start at first)
        Clock::duration relist_duration{};  // of the last re-list (0 at first)
        std::vector<uint32_t> relist;       // folders to list again
    };

    explicit Watcher(Stream stream) : how_(std::move(stream)) {}
    explicit Watcher(Polling polling) : how_(std::move(polling)) {}

    // Starts the event stream on canonical_root replaying from since, with the
    // firmlink pairs of the system and the ignored folder (canonical, or as
    // given); none when the stream cannot start.
    static std::optional<Watcher> follow_stream(const sys::FsEventsApi& api,
                                                std::string canonical_root,
                                                sys::FsEventStreamEventId since,
                                                std::optional<std::string> ignored);

    // Polling with nothing followed yet, the last re-list ended at now.
    static Watcher follow_polling(Clock::time_point now);

    bool streams() const { return std::holds_alternative<Stream>(how_); }
    // The variant's fields; asking for the other variant is a broken contract.
    Stream& stream();
    const Stream& stream() const;
    Polling& polling();

    // Takes one batch: changes and must-scan paths are kept relative to the
    // root, the first history-done time and the first missed reason are kept.
    void absorb(sys::FsEventBatch batch);

    // Absorbs every batch already queued, without waiting; how many there were.
    size_t absorb_queued();

    // The reason pending since it was last taken, leaving none.
    std::optional<Reason> take_pending_reason();

    // The path relative to the root (firmlinks followed either way, no
    // leading '/'); none outside the root or at or below the ignored folder.
    std::optional<std::string> folder_of(std::string_view path) const;

  private:
    std::variant<Stream, Polling> how_;
};

}  // namespace bramwex::core
