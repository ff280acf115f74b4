// The events the inotify source has gathered and not yet handed to its
// callback, coalesced: one entry per path, in first-seen order, the flags of
// repeated events on a path combined. Past a bound the changes of a burst are
// folded into their folders, which a rescan lists anyway, so a flood of
// events costs memory per folder rather than per file. A folder's own change
// folded into its parent would leave the folder itself unlisted, so its
// parent then asks for its whole subtree to be scanned again.
// Threading: the source's reader thread alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <absl/container/flat_hash_map.h>

#include "core/sys/event_source.hpp"

namespace bramwex::core::sys::detail {

class PendingEvents {
  public:
    // Distinct paths gathered before further plain changes are folded into
    // their folders.
    static constexpr size_t kFoldAfter = 8192;

    // root: the watched root, which is never folded away (nothing above it
    // is followed), and whose subtree is never asked for by a fold.
    explicit PendingEvents(std::string root, size_t fold_after = kFoldAfter);

    void add(std::string_view path, EventFlags flags, EventId id);
    bool empty() const { return batch_.empty(); }

    // Everything gathered, leaving nothing.
    EventBatch take();

  private:
    std::string root_;
    size_t fold_after_;
    EventBatch batch_;
    absl::flat_hash_map<std::string, size_t> index_;
};

}  // namespace bramwex::core::sys::detail
