// How items leave the live thread: into the LiveQueue, then a wake-up of
// the bound event loop through call_soon_threadsafe.
#include "binding/live_notifier.hpp"

#include <mutex>
#include <utility>

#include "binding/py.hpp"

namespace bramwex::binding {

namespace {

std::atomic<bool> exiting{false};

}  // namespace

void mark_interpreter_exiting() {
    exiting.store(true, std::memory_order_release);
}

EventNotifier::EventNotifier(std::shared_ptr<LiveQueue> queue, std::shared_ptr<AsyncWaker> waker,
                             std::shared_ptr<std::atomic<uint8_t>> async_on)
    : queue_(std::move(queue)), waker_(std::move(waker)), async_on_(std::move(async_on)) {}

void EventNotifier::emit(core::LiveItem item) {
    hand_over(std::move(item), false);
}

void EventNotifier::emit_last(core::LiveItem item) {
    hand_over(std::move(item), true);
}

void EventNotifier::failed(const std::string& what) {
    queue_->push(LiveFatal{what}, true);
    wake_event_loop();
}

void EventNotifier::hand_over(core::LiveItem item, bool last) {
    if (item) {
        queue_->push(std::move(*item), last);
    } else {
        queue_->push(std::move(item.error()), last);
    }
    wake_event_loop();
}

void EventNotifier::wake_event_loop() {
    // The queue's mutex is free here: holding it while waiting for the
    // interpreter lock could deadlock with a drain that holds that lock.
    if (async_on_->load(std::memory_order_acquire) == 0 ||
        exiting.load(std::memory_order_acquire)) {
        return;
    }
    const Gil gil;
    // With a closed loop the items wait for the next drain.
    call_on_event_loop(*waker_, nullptr, nullptr);
}

void call_on_event_loop(AsyncWaker& waker, PyObject* callable, PyObject* argument) {
    Ref loop;
    Ref drain;
    {
        std::lock_guard lock(waker.mutex);
        loop = Ref::borrow(waker.loop);
        drain = Ref::borrow(waker.drain);
    }
    if (!loop || !drain) {
        return;
    }
    // call_soon_threadsafe also wakes a loop idle in its selector, which a
    // plain call from another thread would leave asleep.
    PyObject* call = callable != nullptr ? callable : drain.get();
    Ref method = Ref::steal(PyObject_GetAttrString(loop.get(), "call_soon_threadsafe"));
    Ref done = method
                   ? Ref::steal(PyObject_CallFunctionObjArgs(method.get(), call, argument, nullptr))
                   : Ref();
    if (!done) {
        PyErr_Clear();  // a closed loop: nothing waits on it
    }
}

}  // namespace bramwex::binding
