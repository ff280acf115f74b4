// Event ids of the inotify stand-in: readings of the real-time clock in
// nanoseconds, the clock file systems stamp changes with, so "replay from
// id" can be answered from change times. Kept strictly increasing across the
// process even when the clock steps back.
#pragma once

#include <cstdint>

#include "core/sys/fsevents_types.hpp"

namespace bramwex::core::sys::inotify {

// Nanoseconds of the real-time clock.
uint64_t realtime_ns();

// A fresh id, above every id handed out before in this process.
FsEventStreamEventId next_event_id();

}  // namespace bramwex::core::sys::inotify
