// The channels of live following: the live channel (unbounded, many
// senders, one receiver that waits with a deadline) and the one-shot reply
// of a close. A send to a receiver that is gone is dropped without a word;
// dropping the receiver drops what is still queued.
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

namespace detail {
template <class T>
struct OneShotState {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<T> value;
    bool sender_gone = false;
};
}  // namespace detail

// The sending end of a one-shot reply; dropping it unsent wakes the
// receiver with nothing.
template <class T>
class OneShotSender {
  public:
    explicit OneShotSender(std::shared_ptr<detail::OneShotState<T>> state)
        : state_(std::move(state)) {}
    OneShotSender(OneShotSender&&) noexcept = default;
    OneShotSender& operator=(OneShotSender&&) = delete;
    OneShotSender(const OneShotSender&) = delete;
    ~OneShotSender() { finish(std::nullopt); }

    void send(T value) { finish(std::move(value)); }

  private:
    void finish(std::optional<T> value) {
        if (!state_) {
            return;
        }
        {
            std::lock_guard lock(state_->mutex);
            if (value) {
                state_->value = std::move(value);
            }
            state_->sender_gone = true;
        }
        state_->done.notify_all();
        state_.reset();
    }

    std::shared_ptr<detail::OneShotState<T>> state_;
};

template <class T>
class OneShotReceiver {
  public:
    explicit OneShotReceiver(std::shared_ptr<detail::OneShotState<T>> state)
        : state_(std::move(state)) {}

    // Waits for the value, or none when the sender went without one.
    std::optional<T> receive() {
        std::unique_lock lock(state_->mutex);
        state_->done.wait(lock, [&] { return state_->sender_gone; });
        return std::move(state_->value);
    }

  private:
    std::shared_ptr<detail::OneShotState<T>> state_;
};

template <class T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> make_one_shot() {
    auto state = std::make_shared<detail::OneShotState<T>>();
    return {OneShotSender<T>(state), OneShotReceiver<T>(state)};
}

}  // namespace bramwex::core
