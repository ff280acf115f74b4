// The LiveQueue's locking and its coalescing of unread snapshots and changes.
#include "binding/live_queue.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bramwex::binding {

namespace {

// The event of that kind in item, if item is one; none for no item.
template <class Kind>
Kind* event_of(QueueItem* item) {
    auto* event = std::get_if<core::Event>(item);
    return event != nullptr ? std::get_if<Kind>(&event->value) : nullptr;
}

// The unread event takes the later tree and the later changes: deltas added
// to those of folders already listed, new folders after them. A reader that
// catches up so sees the sizes and the summed deltas of one that kept up.
// The older tree is left in `later`.
void merge_changed(core::Event::Changed& unread, core::Event::Changed& later) {
    unread.tree.swap(later.tree);
    std::vector<core::FolderChange>& changes = unread.changes;
    changes.reserve(changes.size() + later.changes.size());  // the views below stay valid
    std::unordered_map<std::string_view, size_t> listed;
    for (size_t k = 0; k < changes.size(); ++k) {
        listed.emplace(changes[k].path, k);
    }
    for (core::FolderChange& change : later.changes) {
        if (auto found = listed.find(change.path); found != listed.end()) {
            changes[found->second].delta += change.delta;
        } else {
            changes.push_back(std::move(change));
            listed.emplace(changes.back().path, changes.size() - 1);
        }
    }
    // As in one rescan's list, a folder whose changes cancel out is not listed.
    std::erase_if(changes, [](const core::FolderChange& change) { return change.delta == 0; });
}

}  // namespace

void LiveQueue::push(QueueItem item, bool last) {
    {
        std::lock_guard lock(mutex_);
        ended_ = ended_ || last;  // even should the item not fit
        QueueItem* tail = items_.empty() ? nullptr : &items_.back();
        if (event_of<core::Event::Scanning>(tail) && event_of<core::Event::Scanning>(&item)) {
            std::swap(*tail, item);
        } else if (auto* unread = event_of<core::Event::Changed>(tail),
                   *later = event_of<core::Event::Changed>(&item);
                   unread && later) {
            merge_changed(*unread, *later);
        } else {
            items_.push_back(std::move(item));
        }
    }
    // The replaced snapshot or the older tree, left in item, is freed here,
    // with the queue unlocked.
    changed_.notify_all();
}

std::optional<QueueItem> LiveQueue::pop_within(std::chrono::milliseconds slice) {
    std::unique_lock lock(mutex_);
    const uint64_t wakes = wakes_;
    changed_.wait_for(lock, slice, [&] { return !items_.empty() || wakes_ != wakes; });
    if (items_.empty()) {
        return std::nullopt;
    }
    QueueItem front = std::move(items_.front());
    items_.pop_front();
    return front;
}

bool LiveQueue::ended() {
    std::lock_guard lock(mutex_);
    return ended_;
}

std::vector<QueueItem> LiveQueue::take_all() {
    std::lock_guard lock(mutex_);
    std::vector<QueueItem> all(std::make_move_iterator(items_.begin()),
                               std::make_move_iterator(items_.end()));
    items_.clear();
    return all;
}

void LiveQueue::wake_all() {
    {
        std::lock_guard lock(mutex_);
        ++wakes_;
    }
    changed_.notify_all();
}

}  // namespace bramwex::binding
