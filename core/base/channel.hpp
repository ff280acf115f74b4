// A channel between threads: unbounded, many senders, one receiver that
// takes without waiting or waits with a deadline. A send to a receiver that
// is gone is dropped without a word; dropping the receiver drops what is
// still queued.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace bramwex::core {

namespace detail {
template <class T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<T> queue;
    bool receiver_gone = false;
};
}  // namespace detail

template <class T>
class ChannelSender {
  public:
    ChannelSender() = default;
    explicit ChannelSender(std::shared_ptr<detail::ChannelState<T>> state)
        : state_(std::move(state)) {}

    // False when nobody receives any more (the value is dropped).
    bool send(T value) const {
        if (!state_) {
            return false;
        }
        {
            std::lock_guard lock(state_->mutex);
            if (state_->receiver_gone) {
                return false;
            }
            state_->queue.push_back(std::move(value));
        }
        state_->arrived.notify_one();
        return true;
    }

  private:
    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class ChannelReceiver {
  public:
    using Clock = std::chrono::steady_clock;

    ChannelReceiver() = default;
    explicit ChannelReceiver(std::shared_ptr<detail::ChannelState<T>> state)
        : state_(std::move(state)) {}
    ChannelReceiver(ChannelReceiver&&) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&& other) noexcept {
        if (this != &other) {
            disconnect();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~ChannelReceiver() { disconnect(); }

    // The oldest value without waiting; none when the queue is empty.
    std::optional<T> try_receive() {
        std::lock_guard lock(state_->mutex);
        if (state_->queue.empty()) {
            return std::nullopt;
        }
        T value = std::move(state_->queue.front());
        state_->queue.pop_front();
        return value;
    }

    // The oldest value, waiting until the deadline at most (Clock's largest
    // time point waits without limit); none on time-out.
    std::optional<T> receive_until(Clock::time_point deadline) {
        std::unique_lock lock(state_->mutex);
        auto ready = [&] { return !state_->queue.empty(); };
        if (deadline == Clock::time_point::max()) {
            state_->arrived.wait(lock, ready);
        } else if (!state_->arrived.wait_until(lock, deadline, ready)) {
            return std::nullopt;
        }
        T value = std::move(state_->queue.front());
        state_->queue.pop_front();
        return value;
    }

  private:
    void disconnect() {
        if (!state_) {
            return;
        }
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_gone = true;
            dropped.swap(state_->queue);
        }
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {ChannelSender<T>(state), ChannelReceiver<T>(state)};
}

}  // namespace bramwex::core
