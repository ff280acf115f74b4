// The hand-over of what a live thread finds to the Python side: LiveQueue,
// the first-in first-out list of items, and AsyncWaker, the event loop to
// wake once asynchronous iteration has bound one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "binding/py.hpp"
#include "core/live/live.hpp"

namespace bramwex::binding {

// Something thrown on the live thread ended it: raised as the panic exception.
struct LiveFatal {
    std::string message;
};

using QueueItem = std::variant<core::Event, core::Error, LiveFatal>;

class LiveQueue {
  public:
    // Appends item; a Scanning snapshot replaces one still waiting at the
    // tail, so a consumer that does not read holds one snapshot, not many.
    void push(QueueItem item);

    // The front item, waiting at most `slice` for one; none when it passed
    // or wake_all was called meanwhile.
    std::optional<QueueItem> pop_within(std::chrono::milliseconds slice);

    // Every item, leaving the queue empty.
    std::vector<QueueItem> take_all();

    // Wakes every waiter, so it looks again at whether following ended.
    void wake_all();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<QueueItem> items_;
    uint64_t wakes_ = 0;
};

// The event loop of asynchronous iteration and its drain callback; both
// strong references, touched only with the interpreter lock held.
struct AsyncWaker {
    std::mutex mutex;
    PyObject* loop = nullptr;
    PyObject* drain = nullptr;
};

}  // namespace bramwex::binding
