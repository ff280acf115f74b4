// The EventSink of a Python Live object: it runs on the live thread, queues
// each item, and once asynchronous iteration is bound asks the event loop to
// drain the queue.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "binding/live_queue.hpp"
#include "binding/py.hpp"
#include "core/live/live.hpp"

namespace bramwex::binding {

// The event loop of asynchronous iteration and its drain callback; both
// strong references, touched only with the interpreter lock held. The mutex
// is never held across a call into Python, which may let the lock go.
struct AsyncWaker {
    std::mutex mutex;
    PyObject* loop = nullptr;
    PyObject* drain = nullptr;
};

// Asks the bound event loop, if any, to call callable(argument) on its own
// thread (the drain callback when callable is null; no argument when it is
// null); a closed loop is passed over without an error. Interpreter lock held.
void call_on_event_loop(AsyncWaker& waker, PyObject* callable, PyObject* argument);

class EventNotifier final : public core::EventSink {
  public:
    EventNotifier(std::shared_ptr<LiveQueue> queue, std::shared_ptr<AsyncWaker> waker,
                  std::shared_ptr<std::atomic<uint8_t>> async_on);
    void emit(core::LiveItem item) override;
    void emit_last(core::LiveItem item) override;
    void failed(const std::string& what) override;

  private:
    void hand_over(core::LiveItem item, bool last);
    void wake_event_loop();

    std::shared_ptr<LiveQueue> queue_;
    std::shared_ptr<AsyncWaker> waker_;
    std::shared_ptr<std::atomic<uint8_t>> async_on_;
};

// Set once the interpreter has begun to exit: from then on no live thread
// asks for the interpreter lock, which a finalising interpreter never gives.
void mark_interpreter_exiting();

}  // namespace bramwex::binding
