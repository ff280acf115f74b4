// The live thread's state and the steps of its loop. Everything here runs on
// the live thread; only the scan thread of a full scan (which reports back
// through the live channel) and the pool's workers run beside it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <variant>
#include <vector>

#include "core/live/live.hpp"
#include "core/live/watch.hpp"
#include "core/scan/scan.hpp"

namespace bramwex::core {

using LiveClock = std::chrono::steady_clock;

// What a full scan's thread leaves behind: written by that thread, read
// once it has been joined.
struct ScanResult {
    std::optional<Result<Tree>> tree;
    LinkHolders link_holders;  // every folder holding a link, for the rescans
};

// The thread of one full scan and the result it leaves behind. Joined when
// the result is taken, or at the latest when this goes.
class ScanThread {
  public:
    ScanThread(std::thread thread, std::shared_ptr<ScanResult> result)
        : thread_(std::move(thread)), result_(std::move(result)) {}
    ScanThread(ScanThread&&) noexcept = default;
    ScanThread& operator=(ScanThread&&) = delete;
    ~ScanThread();

    // Waits for the scan to end and takes its result (the tree or error).
    ScanResult join();

  private:
    std::thread thread_;
    std::shared_ptr<ScanResult> result_;
};

struct ScanningPhase {
    std::optional<BuilderParts> parts;  // absent until Started arrives
    std::unique_ptr<ScanThread> scan;
    LiveClock::time_point started;
};

struct FollowingPhase {
    Tree tree;
    LinkHolders link_holders;  // kept up to date by every rescan of the tree
    Watcher watcher;
};

struct StoppedPhase {};

using LivePhase = std::variant<ScanningPhase, FollowingPhase, StoppedPhase>;

struct LiveLoop {
    LiveSender sender;  // cloned into each scan thread
    LiveReceiver receiver;
    LiveSettings settings;
    std::unique_ptr<EventSink> sink;
    std::shared_ptr<LiveControl> control;
    std::shared_ptr<Pool> pool;  // built once by run
    LivePhase phase = StoppedPhase{};
    bool done = false;  // Close was handled
    // Dropped events were told for a loss that outlasts the full scan it asks
    // for (the event stream cannot start, or ended): told again only after a
    // stream has watched the whole tree, else every such scan ends in it.
    bool lasting_loss_told = false;
};

// The live thread's body: returns once Close was handled, or at once when
// the pool cannot be built.
void run_live_loop(LiveLoop& loop);

// The scan options of every live scan: the stop test and the interrupt are
// the closed flag.
ScanOptions live_scan_options(const LiveLoop& loop);

// Steps of the loop (live_loop.cpp).
void start_scan(LiveLoop& loop);
void scan_failed(LiveLoop& loop, const Error& error);
void report_missed(LiveLoop& loop, Reason reason, const std::string& path);
void emit(LiveLoop& loop, LiveItem item);
// Calls the settings' step hook, when there is one.
void step(const LiveSettings& settings, LiveStep at);

// Following (live_follow.cpp).
// The tree of a finished scan becomes the followed tree: the event stream
// starts when it may and can, else following polls.
void start_following(LiveLoop& loop, Tree tree, LinkHolders link_holders);
void tick_following(LiveLoop& loop, FollowingPhase& following, LiveClock::time_point now);
void follow_folders(FollowingPhase& following, std::span<const FolderId> ids);
// The watch of the followed folders saw a change: list them again now,
// unless the polls' back-off says later.
void followed_folder_changed(LiveLoop& loop, FollowingPhase& following);
void rescan_changed(LiveLoop& loop, FollowingPhase& following, const ChangeSets& changes,
                    bool requested);
// The indices of the ids that name a folder of the tree, in order: generation
// 0 or the tree's, in range, not removed.
std::vector<uint32_t> resolve_folder_ids(const Tree& tree, std::span<const FolderId> ids);

}  // namespace bramwex::core
