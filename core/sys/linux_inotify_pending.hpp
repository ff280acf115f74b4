// The events an inotify stream has gathered and not yet handed to its
// callback, coalesced: one entry per path, in first-seen order, the flags of
// repeated events on a path combined. Past a bound the files of a burst are
// folded into their folders, which a rescan lists anyway, so a flood of
// events costs memory per folder rather than per file.
// Threading: the stream's reader thread alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/sys/fsevents_types.hpp"

namespace bramwex::core::sys::inotify {

class PendingEvents {
  public:
    // Distinct paths gathered before further plain changes are folded into
    // their folders.
    static constexpr size_t kFoldAfter = 8192;

    struct Batch {
        std::vector<std::string> paths;
        std::vector<FsEventStreamEventFlags> flags;
        std::vector<FsEventStreamEventId> ids;
    };

    void add(std::string_view path, FsEventStreamEventFlags flags, FsEventStreamEventId id);
    bool empty() const { return batch_.paths.empty(); }
    size_t size() const { return batch_.paths.size(); }

    // Everything gathered, leaving nothing.
    Batch take();

  private:
    Batch batch_;
    absl::flat_hash_map<std::string, size_t> index_;
};

}  // namespace bramwex::core::sys::inotify
