#include "core/sys/linux_inotify_pending.hpp"

#include <utility>

namespace bramwex::core::sys::inotify {

void PendingEvents::add(std::string_view path, FsEventStreamEventFlags flags,
                        FsEventStreamEventId id) {
    if (flags == 0 && batch_.paths.size() >= kFoldAfter &&
        !index_.contains(absl::string_view(path.data(), path.size()))) {
        const size_t slash = path.rfind('/');
        if (slash != std::string_view::npos && slash > 0) {
            path = path.substr(0, slash);
        }
    }
    if (const auto known = index_.find(absl::string_view(path.data(), path.size()));
        known != index_.end()) {
        batch_.flags[known->second] |= flags;
        return;
    }
    index_.emplace(std::string(path), batch_.paths.size());
    batch_.paths.emplace_back(path);
    batch_.flags.push_back(flags);
    batch_.ids.push_back(id);
}

PendingEvents::Batch PendingEvents::take() {
    index_.clear();
    return std::exchange(batch_, Batch{});
}

}  // namespace bramwex::core::sys::inotify
