#include "core/sys/linux_inotify_pending.hpp"

#include <utility>

namespace bramwex::core::sys::detail {

namespace {

// Bits that ask for more than a listing of the path's folder.
constexpr EventFlags kNotFoldable = kEventMustScanSubDirs | kEventUserDropped |
                                    kEventKernelDropped | kEventIdsWrapped | kEventHistoryDone |
                                    kEventRootChanged;

}  // namespace

void PendingEvents::add(std::string_view path, EventFlags flags, EventId id) {
    if ((flags & kNotFoldable) == 0 && batch_.size() >= kFoldAfter &&
        !index_.contains(absl::string_view(path.data(), path.size()))) {
        const size_t slash = path.rfind('/');
        if (slash != std::string_view::npos && slash > 0) {
            path = path.substr(0, slash);
            flags = kEventItemModified | kEventItemIsDir;
        }
    }
    if (const auto known = index_.find(absl::string_view(path.data(), path.size()));
        known != index_.end()) {
        batch_[known->second].flags |= flags;
        return;
    }
    index_.emplace(std::string(path), batch_.size());
    batch_.push_back(FsEvent{std::string(path), flags, id});
}

EventBatch PendingEvents::take() {
    index_.clear();
    return std::exchange(batch_, EventBatch{});
}

}  // namespace bramwex::core::sys::detail
