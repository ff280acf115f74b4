// The stream callback's side: each raw event (a path and a flag word) becomes
// one FsEvent, each callback call one batch sent to the live thread. The
// callback runs on the stream's serial queue and touches nothing but its
// batch and the channel's sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/live/watch_reason.hpp"
#include "core/sys/fsevents_types.hpp"

namespace bramwex::core::sys {

enum class FsEventKind : uint8_t {
    Changed = 0,      // something at path changed
    MustScan = 1,     // the whole subtree at path is to be scanned again
    HistoryDone = 2,  // every event since the requested id has been replayed
    Missed = 3,       // changes may have been lost, for reason
};

struct FsEvent {
    FsEventKind kind = FsEventKind::Changed;
    Reason reason = Reason::Dropped;  // meaningful for Missed only (0 otherwise)
    std::string path;                 // as the OS gave it; empty unless Changed or MustScan
    friend bool operator==(const FsEvent&, const FsEvent&) = default;
};

// In the order of the callback's arrays.
using FsEventBatch = std::vector<FsEvent>;

// One raw event, decided by the first flag test that holds: dropped, ids
// wrapped, root changed, history done, must-scan, else a plain change.
// Dropped events are logged at Warn.
FsEvent classify_event(std::string_view path, FsEventStreamEventFlags flags);

// The stream callback. info is the stream's BatchSender; a batch sent after
// the receiver has gone is lost without a word.
void fsevents_callback(ConstFsEventStreamRef stream, void* info, size_t count, void* paths,
                       const FsEventStreamEventFlags* flags, const FsEventStreamEventId* ids);

}  // namespace bramwex::core::sys
