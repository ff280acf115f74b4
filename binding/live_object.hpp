// The native part of a Python Live object and what the files of the Live
// class share: the class, the end test, and the conversion of queued items.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "binding/live_notifier.hpp"
#include "binding/py.hpp"
#include "core/live/live.hpp"

namespace bramwex::binding {

// Faults a test asks for through Live._fault, acted on by the live thread.
struct LiveFaults {
    std::shared_ptr<std::atomic<uint32_t>> overflows = std::make_shared<std::atomic<uint32_t>>(0);
    std::shared_ptr<std::atomic<uint32_t>> max_user_watches =
        std::make_shared<std::atomic<uint32_t>>(UINT32_MAX);
    std::atomic<bool> fail_at_tick{false};
};

struct PyLive {
    std::string path;  // the expanded root, for the texts of OSError
    std::shared_ptr<LiveQueue> queue;
    std::shared_ptr<AsyncWaker> waker;
    std::shared_ptr<std::atomic<uint8_t>> async_on;
    // The interpreter lock is the lock of `handle` and `aqueue`: both are
    // only touched with it held, and the handle is taken out before the lock
    // is released to join the live thread.
    std::optional<core::LiveHandle> handle;  // none once closed
    PyObject* aqueue = nullptr;              // the bound asyncio.Queue (strong)
    std::shared_ptr<LiveFaults> faults;      // what tests inject
};

PyObject* live_class();

// A new Live object owning live (whose thread runs already).
Ref live_into_py(PyLive live);

// Has the module's exit hook close every Live still open before the
// interpreter finalises, and its fork hook close, in a child, those the
// parent had open.
bool register_process_hooks(PyObject* module);

// The module function `live`.
PyObject* live_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The object's native part; self must be a Live.
PyLive& live_of(PyObject* self);

// Closed, or the live loop gave up and its last item is queued: nothing more
// will be. Looked at before taking from the queue.
bool live_finished(const PyLive& live);

// The Python object for an item: an event object, or the exception instance
// its error raises (OSError with the root path, or the panic exception).
Ref event_into_py(core::Event event);
Ref item_into_py(QueueItem item, const std::string& path);

// Sets the exception an error item raises; always an empty Ref.
Ref raise_item_error(const QueueItem& item, const std::string& path);

// Part of the Live class made in async_bridge.cpp.
PyObject* live_aiter(PyObject* self);
PyObject* live_anext(PyObject* self);
// Has the bound event loop, if any, put the end mark into its asyncio.Queue,
// whichever thread closes; false with the exception set when that fails.
bool put_end_mark(PyLive& live);
// Lets the cyclic GC see and break the Live -> drain -> Live cycle.
int traverse_async(PyLive& live, visitproc visit, void* arg);
void clear_async(PyLive& live);

PyObject* next_class();
// A new Next over the iterator of an awaited get() from aqueue.
Ref next_into_py(Ref inner, Ref aqueue);

}  // namespace bramwex::binding
