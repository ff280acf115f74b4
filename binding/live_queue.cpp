// The LiveQueue's locking and its coalescing of unread snapshots.
#include "binding/live_queue.hpp"

#include <utility>

namespace bramwex::binding {

namespace {

bool is_scanning(const QueueItem& item) {
    const auto* event = std::get_if<core::Event>(&item);
    return event != nullptr && std::holds_alternative<core::Event::Scanning>(event->value);
}

}  // namespace

void LiveQueue::push(QueueItem item) {
    {
        std::lock_guard lock(mutex_);
        if (is_scanning(item) && !items_.empty() && is_scanning(items_.back())) {
            items_.pop_back();
        }
        items_.push_back(std::move(item));
    }
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
