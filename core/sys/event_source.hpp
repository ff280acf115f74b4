// The file-system event source: everything that changes below one root
// folder, as batches of (path, flags, id) handed to a callback. It replays
// what changed since an event id, coalesces what happens within its latency,
// and turns its own faults into flags (a lost event queue asks for the root
// to be scanned again, a folder it cannot watch is dropped events there, the
// root moving or vanishing is "root changed"). On Linux it is inotify with a
// watch on every folder (linux_inotify_*.cpp). Watches are shared by all the
// user's programs: once the source holds all but a reserve of the budget, or
// the kernel refuses a watch, it reports dropped events at the folder it could
// not watch and stops, since a partly watched tree misses changes unseen.
// Threading: the owner calls start, flush and stop from one thread; the
// callback runs on the source's own reader thread, one batch at a time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.hpp"

namespace bramwex::core::sys {

// A point in the history of changes: a scan records one so that the source
// started after it replays what changed meanwhile. On Linux, nanoseconds of
// the real-time clock, the clock file systems stamp changes with.
using EventId = uint64_t;

// What an event says about its path; several bits may be set at once.
using EventFlags = uint32_t;
inline constexpr EventFlags kEventMustScanSubDirs = 1u << 0;  // rescan the subtree at path
inline constexpr EventFlags kEventUserDropped = 1u << 1;      // we lost events at path
inline constexpr EventFlags kEventKernelDropped = 1u << 2;    // the kernel lost events
inline constexpr EventFlags kEventIdsWrapped = 1u << 3;       // ids started again from 0
inline constexpr EventFlags kEventHistoryDone = 1u << 4;      // the replay has ended (no path)
inline constexpr EventFlags kEventRootChanged = 1u << 5;      // the root moved, went or came back
inline constexpr EventFlags kEventItemCreated = 1u << 8;
inline constexpr EventFlags kEventItemRemoved = 1u << 9;
inline constexpr EventFlags kEventItemRenamed = 1u << 10;  // either end of a rename
inline constexpr EventFlags kEventItemModified = 1u << 11;
inline constexpr EventFlags kEventItemMetadata = 1u << 12;  // owner, mode, times
inline constexpr EventFlags kEventItemIsDir = 1u << 13;
inline constexpr EventFlags kEventItemIsFile = 1u << 14;

struct FsEvent {
    std::string path;  // absolute; empty for history done
    EventFlags flags = 0;
    EventId id = 0;
    friend bool operator==(const FsEvent&, const FsEvent&) = default;
};

// In the order the source saw them, one entry per path.
using EventBatch = std::vector<FsEvent>;

// Knobs that only tests turn.
struct EventSourceFaults {
    // Lowers the user's watch budget (the kernel's max_user_watches) to this
    // value; a test may lower it while the source runs. The watch of
    // followed folders (FolderWatch) holds no more than it either (0: none
    // can be watched, every one is polled).
    std::shared_ptr<std::atomic<uint32_t>> max_user_watches;
    // How much older than the replay point a time stamp may be and still be
    // replayed: file systems keep coarse times (down to 2 s).
    std::chrono::nanoseconds timestamp_slack = std::chrono::seconds(2);
    // Runs on the reader thread just before a folder below the root gets its
    // watch: where a change can slip in unseen by the kernel.
    std::function<void(const std::string& folder)> before_watch;
    // Raised by a test on any thread: the live loop's next tick makes the
    // running source act as after a kernel queue overflow, once per request.
    std::shared_ptr<std::atomic<uint32_t>> overflow_requests;
    // Distinct paths a batch gathers before further changes are folded into
    // their folders; none: the source's own bound.
    std::optional<size_t> fold_after;
};

struct EventSourceConfig {
    std::string root;   // canonical, absolute
    EventId since = 0;  // replay what changed at or after it
    std::chrono::nanoseconds latency = std::chrono::milliseconds(50);
    // Called on the reader thread; must not call back into the source.
    std::function<void(EventBatch)> on_batch;
    EventSourceFaults faults;
};

namespace detail {
class InotifySource;
}

class EventSource {
  public:
    // Watches the root and everything below it on its device and starts the
    // reader. Fails when the root is not a folder, when its file system does
    // not tell this kernel of changes (network, user-space and pseudo file
    // systems), or when the kernel refuses the first watch.
    static Result<EventSource> start(EventSourceConfig config);

    // A source that runs nothing (stopped).
    EventSource();
    EventSource(EventSource&&) noexcept;
    EventSource& operator=(EventSource&&) noexcept;
    ~EventSource();

    // Returns once everything that happened before the call, and the replay
    // of folders that appeared, has been handed to the callback.
    void flush();

    // Stops and joins the reader and closes the descriptors; idempotent.
    void stop();

    // False once the reader has ended, asked to or not (a failure on the
    // reader or the watches running out ends it): no more events will come.
    bool running() const;

    dev_t root_device() const;

    // Folder watches held now, root included (tests and benchmarks).
    size_t watch_count() const;

    // Test hook: the reader handles a kernel queue overflow as if the kernel
    // had reported one. False once stopped.
    bool simulate_queue_overflow();

  private:
    explicit EventSource(std::unique_ptr<detail::InotifySource> source);
    std::unique_ptr<detail::InotifySource> source_;
};

// The id of now; 0 when no event source can run on this system (live
// following then polls).
EventId current_event_id();

}  // namespace bramwex::core::sys
