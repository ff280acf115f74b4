// The EventSink of a Python Live object: it runs on the live thread, queues
// each item, and once asynchronous iteration is bound asks the event loop to
// drain the queue.
#pragma once

#include <atomic>
#include <memory>

#include "binding/live_queue.hpp"
#include "core/live/live.hpp"

namespace bramwex::binding {

class EventNotifier final : public core::EventSink {
  public:
    EventNotifier(std::shared_ptr<LiveQueue> queue, std::shared_ptr<AsyncWaker> waker,
                  std::shared_ptr<std::atomic<uint8_t>> async_on);
    void emit(core::LiveItem item) override;
    void failed(const std::string& what) override;

  private:
    void wake_event_loop();

    std::shared_ptr<LiveQueue> queue_;
    std::shared_ptr<AsyncWaker> waker_;
    std::shared_ptr<std::atomic<uint8_t>> async_on_;
};

// Set once the interpreter has begun to exit: from then on no live thread
// asks for the interpreter lock, which a finalising interpreter never gives.
void mark_interpreter_exiting();

}  // namespace bramwex::binding
