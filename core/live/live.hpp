// Live following: one root folder scanned in full, then kept current while
// someone looks at it. The starter keeps a LiveHandle and talks to the live
// thread through LiveMsg messages; the live thread hands everything it finds
// to the starter's EventSink, and only ever calls the sink on its own thread.
// Trees handed out are new copies, read-only and shared by reference.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/base/channel.hpp"
#include "core/base/error.hpp"
#include "core/live/rescan.hpp"
#include "core/live/watch_reason.hpp"
#include "core/scan/scan_options.hpp"
#include "core/sys/event_source.hpp"
#include "core/tree/tree.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

// What live following reports.
struct Event {
    // A snapshot of the tree being built, at most once per tick.
    struct Scanning {
        std::shared_ptr<const Tree> tree;
    };
    // The finished tree of a full scan (the first, and each rescan of everything).
    struct Ready {
        std::shared_ptr<const Tree> tree;
    };
    // The tree after a rescan, with what changed (possibly nothing, when asked for).
    struct Changed {
        std::shared_ptr<const Tree> tree;
        std::vector<FolderChange> changes;
    };
    // Changes may have been missed at path (absolute).
    struct Missed {
        Reason reason = Reason::Dropped;
        std::string path;
    };
    std::variant<Scanning, Ready, Changed, Missed> value;
};

// An event, or an I/O error of a scan or rescan.
using LiveItem = Result<Event>;

// Where the live thread hands out what it finds; called on the live thread only.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void emit(LiveItem item) = 0;
    // The error that ends following (a scan failed): nothing is emitted
    // after it. LiveControl::ended is set just before, so a sink whose reader
    // asks whether more will come answers with the item, in one step.
    virtual void emit_last(LiveItem item) { emit(std::move(item)); }
    // The loop ended because something was thrown on the live thread (a
    // fatal error): by default the starter gets it as a plain last item.
    virtual void failed(const std::string& what) { emit_last(std::unexpected(Error::text(what))); }
};

// The reply of a close: the interrupted scan's tree, or none. A loop that
// ended before it got the Close breaks the promise.
using FinalTreeSender = std::promise<std::optional<Tree>>;

// A message into the live thread.
struct LiveMsg {
    struct Follow {
        std::vector<FolderId> ids;
    };
    struct Relist {
        std::vector<FolderId> ids;
    };
    // Only the id with index 0 and generation 0 rescans everything.
    struct Rescan {
        FolderId id;
    };
    struct Close {
        std::optional<FinalTreeSender> reply;
    };
    // From a live scan once its walk has begun: what snapshots read.
    struct Started {
        BuilderParts parts;
    };
    // From a live scan's thread when it ends, whatever its result.
    struct ScanExited {};
    // From the watch of the followed folders: one of them changed.
    struct Watched {};
    std::variant<Follow, Relist, Rescan, Close, Started, ScanExited, Watched> value;
};

using LiveSender = ChannelSender<LiveMsg>;
using LiveReceiver = ChannelReceiver<LiveMsg>;

// Shared between the handle and the loop.
struct LiveControl {
    std::atomic<uint64_t> busy{1};         // requested scans not yet finished; the first one counts
    std::atomic<bool> closed{false};       // stop test and interrupt of every live scan
    std::atomic<bool> follows_all{false};  // following through the event stream
    std::atomic<bool> ended{false};  // a scan failed or the loop broke; only its last item may come
};

// Where the live loop calls LiveSettings::step_hook.
enum class LiveStep {
    Scan,    // a full scan starts, on its own thread
    Tick,    // a tick starts, on the live thread
    Rescan,  // a rescan starts, on the live thread
};

// How to follow, as the starter chose.
struct LiveSettings {
    std::string root;                    // as given; reports carry it unchanged
    std::optional<std::string> ignored;  // events at or below it are dropped (stream only)
    std::chrono::nanoseconds interval{std::chrono::seconds(1)};  // the tick; at least 1 ms
    ScanOptions options;  // stop and interrupt are replaced by the handle's closed flag
    bool watch = true;    // use the event stream when it can run
    // Follow only the folders named by follow(): each is listed again when
    // its watch sees a change, or polled when it cannot be watched.
    bool shown_only = false;
    // Faults that tests inject into the event source.
    sys::EventSourceFaults event_faults;
    // For tests: called at each step; what it throws takes the path of any
    // failure there. None in use.
    std::function<void(LiveStep)> step_hook;
};

class LiveHandle {
  public:
    LiveHandle(LiveSender sender, std::shared_ptr<LiveControl> control, std::thread thread);
    LiveHandle(LiveHandle&&) noexcept = default;
    LiveHandle& operator=(LiveHandle&&) = delete;
    LiveHandle(const LiveHandle&) = delete;
    // Closes the loop (and joins its thread) unless that was done.
    ~LiveHandle();

    void follow(std::span<const FolderId> ids) const;
    void relist(std::span<const FolderId> ids) const;
    // Counts the request as busy until the loop has done or dropped it.
    void rescan(FolderId id) const;
    // Sets closed (stopping a running scan), sends Close and joins the live
    // thread; the reply, when given, gets the interrupted scan's tree.
    void close(std::optional<FinalTreeSender> reply = std::nullopt);
    // close, then the interrupted scan's tree (none once following began).
    std::optional<Tree> request_final_tree();

    const LiveControl& control() const { return *control_; }

  private:
    LiveSender sender_;
    std::shared_ptr<LiveControl> control_;
    std::thread thread_;
};

// Starts the live thread: it scans settings.root and then follows it.
LiveHandle start_live(LiveSettings settings, std::unique_ptr<EventSink> sink);

}  // namespace bramwex::core
