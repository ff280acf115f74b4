// Our stand-in for the event-stream frameworks on Linux, behind the same
// function table. A stream watches every folder below its root with inotify
// (folders that appear are added as they appear) and a reader thread plays
// the stream's serial queue: it gathers the kernel's events, coalesces them
// for the stream's latency and calls the callback with paths and the flag
// bits the callback decodes.
//
// inotify cannot replay history, so the id a scan records is a clock
// reading (nanoseconds of the real-time clock, kept strictly increasing) and
// a stream replays from it by time: while it adds its watches it reports
// every folder and file whose change or modification time is not older than
// that reading, then "history done". Faults map onto the flags the callback
// knows: a full kernel queue is dropped events at the root, a folder that
// cannot be watched (the per-user watch limit) dropped events at that
// folder, the root deleted or moved "root changed".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/sys/fsevents_api.hpp"

namespace bramwex::core::sys {

// The stand-in's table; none when inotify cannot be used here.
std::optional<FsEventsApi> inotify_api();

namespace detail {

// Knobs and faults for tests; each stream copies them when it is created.
struct InotifySettings {
    bool unavailable = false;             // inotify_init1 fails (ENOSYS)
    std::optional<uint32_t> watch_limit;  // folder watches a stream may add before ENOSPC
    // How much older than the replay point a timestamp may be and still be
    // replayed: file systems keep coarse times (down to 2 s).
    std::chrono::nanoseconds timestamp_slack = std::chrono::seconds(2);
    // Runs on the reader thread just before a folder below the root gets its
    // watch: where a change can slip in unseen by the kernel.
    std::function<void(const std::string& folder)> before_watch;
};

// Sets the settings of streams created from now on; returns the old ones.
InotifySettings set_inotify_settings(const InotifySettings& settings);

// The stand-in's table even when the settings say unavailable (so tests can
// make streams fail to start); the frameworks' table is never tried.
FsEventsApi inotify_api_unprobed();

// The reader thread of a running stand-in stream handles a kernel queue
// overflow as if the kernel had reported one; false for a stream that is
// not running.
bool inject_queue_overflow(FsEventStreamRef stream);

// Folder watches a stand-in stream holds now (root included).
size_t watch_count(FsEventStreamRef stream);

}  // namespace detail

}  // namespace bramwex::core::sys
