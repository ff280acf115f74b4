#include "core/sys/linux_inotify_pending.hpp"

#include <utility>

namespace bramwex::core::sys::detail {

namespace {

// Bits that ask for more than a listing of the path's folder.
constexpr EventFlags kNotFoldable = kEventMustScanSubDirs | kEventUserDropped |
                                    kEventKernelDropped | kEventIdsWrapped | kEventHistoryDone |
                                    kEventRootChanged;

}  // namespace

PendingEvents::PendingEvents(std::string root, size_t fold_after)
    : root_(std::move(root)), fold_after_(fold_after) {
    if (root_.size() > 1 && root_.ends_with('/')) {
        root_.pop_back();
    }
}

void PendingEvents::add(std::string_view path, EventFlags flags, EventId id) {
    // Only what lies below the root has a folder to fold into.
    const bool below_root = path.size() > root_.size() && path.starts_with(root_) &&
                            (root_ == "/" || path[root_.size()] == '/');
    if ((flags & kNotFoldable) == 0 && below_root && batch_.size() >= fold_after_ &&
        !index_.contains(absl::string_view(path.data(), path.size()))) {
        const size_t slash = path.rfind('/');
        const std::string_view parent = slash == 0 ? std::string_view("/") : path.substr(0, slash);
        // A listing of the parent covers a file; a folder needs listing
        // itself, and with it gone from the batch only a scan of the
        // parent's subtree reaches it. The root's subtree is everything, too
        // much to ask for on a flood: such a folder keeps its own entry.
        const bool folder = (flags & kEventItemIsFile) == 0;
        if (!folder) {
            path = parent;
            flags = kEventItemModified | kEventItemIsDir;
        } else if (parent != root_) {
            path = parent;
            flags = kEventItemModified | kEventItemIsDir | kEventMustScanSubDirs;
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
