// The hand-over of what a live thread finds to the Python side: LiveQueue,
// the first-in first-out list of items, which keeps what a slow reader has
// not taken yet to a bounded number of trees. It touches nothing of Python.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/live/live.hpp"

namespace bramwex::binding {

// Something thrown on the live thread ended it: raised as the panic exception.
struct LiveFatal {
    std::string message;
};

using QueueItem = std::variant<core::Event, core::Error, LiveFatal>;

class LiveQueue {
  public:
    // Appends item. A Scanning snapshot replaces one still waiting at the
    // tail, and a Changed is merged into one still waiting there, so a
    // consumer that does not read holds one tree, not one per event. A last
    // item (nothing comes after it) ends the queue in the same step.
    void push(QueueItem item, bool last = false);

    // The last item has been pushed: looked at before a pop or a take that
    // finds nothing, it says that nothing more will come.
    bool ended();

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
    bool ended_ = false;
};

}  // namespace bramwex::binding
