// The hand-over of event batches from the stream's queue to the live thread:
// unbounded, many senders, one receiver. Sending never blocks; a batch sent
// after the receiver is gone is dropped, and dropping the receiver discards
// what is still queued.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/sys/fsevents_event.hpp"

namespace bramwex::core::sys {

namespace detail {
struct BatchQueue {
    std::mutex mutex;
    std::deque<FsEventBatch> batches;
    bool receiver_gone = false;
};
}  // namespace detail

class BatchSender {
  public:
    BatchSender() = default;
    explicit BatchSender(std::shared_ptr<detail::BatchQueue> queue) : queue_(std::move(queue)) {}

    // False when the batch was dropped because nobody receives any more.
    bool send(FsEventBatch batch) const;

  private:
    std::shared_ptr<detail::BatchQueue> queue_;
};

class BatchReceiver {
  public:
    BatchReceiver() = default;
    explicit BatchReceiver(std::shared_ptr<detail::BatchQueue> queue) : queue_(std::move(queue)) {}
    BatchReceiver(BatchReceiver&&) noexcept = default;
    BatchReceiver& operator=(BatchReceiver&& other) noexcept;
    BatchReceiver(const BatchReceiver&) = delete;
    BatchReceiver& operator=(const BatchReceiver&) = delete;
    ~BatchReceiver() { disconnect(); }

    // The oldest queued batch, without waiting.
    std::optional<FsEventBatch> try_receive();

  private:
    void disconnect();
    std::shared_ptr<detail::BatchQueue> queue_;
};

std::pair<BatchSender, BatchReceiver> batch_channel();

}  // namespace bramwex::core::sys
