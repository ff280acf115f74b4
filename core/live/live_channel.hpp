// The one-shot reply of a close; the live channel itself is core/channel.hpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/base/channel.hpp"

namespace bramwex::core {

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
