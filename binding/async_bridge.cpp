// Asynchronous iteration of a Live: the first __anext__ binds the running
// event loop and an asyncio.Queue; the live thread's wake-ups run a drain
// callback on the loop that moves queued items into that queue, and each
// __anext__ awaits the queue's get(). A None in the queue ends the iteration.
#include <mutex>

#include "binding/live_object.hpp"

namespace bramwex::binding {

namespace {

// Sets the exception and returns false when a put_nowait raised.
bool drain_into_asyncio(PyObject* self) {
    PyLive& live = live_of(self);
    std::vector<QueueItem> items = live.queue->take_all();
    if (live.aqueue == nullptr) {
        return true;
    }
    Ref aqueue = Ref::borrow(live.aqueue);  // a put may run code that clears the Live
    for (QueueItem& item : items) {
        Ref object = item_into_py(std::move(item), live.path);
        if (!object) {
            return false;
        }
        Ref done = Ref::steal(PyObject_CallMethod(aqueue.get(), "put_nowait", "O", object.get()));
        if (!done) {
            return false;
        }
    }
    return true;
}

PyObject* drain_callback(PyObject* self, PyObject*) {
    return guard_object([&] { return drain_into_asyncio(self) ? none() : Ref(); });
}

PyMethodDef drain_def = {"_drain", as_cfunction(&drain_callback), METH_NOARGS, nullptr};

// Binds the running loop and a new asyncio.Queue; false with the exception
// set (RuntimeError outside a running loop), binding nothing.
bool bind_event_loop(PyObject* self) {
    PyLive& live = live_of(self);
    Ref queue_class = import_attribute("asyncio", "Queue");
    Ref aqueue = queue_class ? Ref::steal(PyObject_CallNoArgs(queue_class.get())) : Ref();
    Ref drain = aqueue ? Ref::steal(PyCFunction_NewEx(&drain_def, self, nullptr)) : Ref();
    Ref get_loop = drain ? import_attribute("asyncio", "get_running_loop") : Ref();
    Ref loop = get_loop ? Ref::steal(PyObject_CallNoArgs(get_loop.get())) : Ref();
    if (!loop) {
        return false;
    }
    Ref old_loop;
    Ref old_drain;
    {
        std::lock_guard lock(live.waker->mutex);
        old_loop = Ref::steal(std::exchange(live.waker->loop, loop.release()));
        old_drain = Ref::steal(std::exchange(live.waker->drain, drain.release()));
    }
    live.async_on->store(1, std::memory_order_release);
    live.aqueue = aqueue.release();
    return true;
}

}  // namespace

PyObject* live_aiter(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* live_anext(PyObject* self) {
    return guard_object([&]() -> Ref {
        PyLive& live = live_of(self);
        if (live.aqueue == nullptr && !bind_event_loop(self)) {
            return {};
        }
        Ref aqueue = Ref::borrow(live.aqueue);
        const bool finished = live_finished(live);  // before the drain, as in live_next
        if (!drain_into_asyncio(self)) {
            return {};
        }
        if (finished) {
            Ref empty = Ref::steal(PyObject_CallMethod(aqueue.get(), "empty", nullptr));
            if (!empty) {
                return {};
            }
            if (empty.get() == Py_True) {
                PyErr_SetNone(PyExc_StopAsyncIteration);
                return {};
            }
        }
        Ref get = Ref::steal(PyObject_CallMethod(aqueue.get(), "get", nullptr));
        Ref inner = get ? Ref::steal(PyObject_CallMethod(get.get(), "__await__", nullptr)) : Ref();
        return inner ? next_into_py(std::move(inner), std::move(aqueue)) : Ref();
    });
}

bool put_end_mark(PyLive& live) {
    if (live.aqueue == nullptr) {
        return true;
    }
    // On the loop's thread, after the drains the live thread asked for.
    Ref put = Ref::steal(PyObject_GetAttrString(live.aqueue, "put_nowait"));
    if (!put) {
        return false;
    }
    call_on_event_loop(*live.waker, put.get(), Py_None);
    return true;
}

int traverse_async(PyLive& live, visitproc visit, void* arg) {
    if (live.waker) {
        Py_VISIT(live.waker->loop);
        Py_VISIT(live.waker->drain);
    }
    Py_VISIT(live.aqueue);
    return 0;
}

void clear_async(PyLive& live) {
    Ref loop;
    Ref drain;
    if (live.waker) {
        std::lock_guard lock(live.waker->mutex);
        loop = Ref::steal(std::exchange(live.waker->loop, nullptr));
        drain = Ref::steal(std::exchange(live.waker->drain, nullptr));
    }
    Ref aqueue = Ref::steal(std::exchange(live.aqueue, nullptr));
    // The references go here, after the mutex: dropping the drain callback
    // may free the Live itself.
}

}  // namespace bramwex::binding
