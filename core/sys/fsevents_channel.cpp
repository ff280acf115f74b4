#include "core/sys/fsevents_channel.hpp"

namespace bramwex::core::sys {

bool BatchSender::send(FsEventBatch batch) const {
    if (queue_ == nullptr) {
        return false;
    }
    std::lock_guard lock(queue_->mutex);
    if (queue_->receiver_gone) {
        return false;
    }
    queue_->batches.push_back(std::move(batch));
    return true;
}

BatchReceiver& BatchReceiver::operator=(BatchReceiver&& other) noexcept {
    if (this != &other) {
        disconnect();
        queue_ = std::move(other.queue_);
    }
    return *this;
}

std::optional<FsEventBatch> BatchReceiver::try_receive() {
    if (queue_ == nullptr) {
        return std::nullopt;
    }
    std::lock_guard lock(queue_->mutex);
    if (queue_->batches.empty()) {
        return std::nullopt;
    }
    FsEventBatch batch = std::move(queue_->batches.front());
    queue_->batches.pop_front();
    return batch;
}

void BatchReceiver::disconnect() {
    if (queue_ == nullptr) {
        return;
    }
    std::deque<FsEventBatch> discarded;
    {
        std::lock_guard lock(queue_->mutex);
        queue_->receiver_gone = true;
        discarded.swap(queue_->batches);
    }
    queue_.reset();
}

std::pair<BatchSender, BatchReceiver> batch_channel() {
    auto queue = std::make_shared<detail::BatchQueue>();
    return {BatchSender(queue), BatchReceiver(queue)};
}

}  // namespace bramwex::core::sys
