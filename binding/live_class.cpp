// The Live class: blocking iteration over a live scan's events, its steering
// (follow, relist, rescan), and its end (close, `with`, finalisation and the
// interpreter's exit), with every join of the live thread done with the
// interpreter lock released.
#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <memory>
#include <unordered_set>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/live_notifier.hpp"
#include "binding/live_object.hpp"
#include "binding/object.hpp"

namespace bramwex::binding {

namespace {

PyObject* made = nullptr;  // never freed (see py.hpp)

// Short enough that Ctrl-C and a close on another thread feel immediate.
constexpr std::chrono::milliseconds kWaitSlice{50};

// Every Live not yet finalised, so the exit hook can close those still open.
// Touched only with the interpreter lock held.
std::unordered_set<PyObject*>& open_lives() {
    static auto* lives = new std::unordered_set<PyObject*>();  // never freed (see py.hpp)
    return *lives;
}

// Takes the handle out and closes it with the lock released: the live thread
// may be waiting for the lock to wake an event loop.
void shut_live_thread(PyLive& live) {
    std::optional<core::LiveHandle> taken;
    if (live.handle) {
        taken.emplace(std::move(*live.handle));
        live.handle.reset();
    }
    if (taken) {
        AllowThreads released;
        taken->close();
    }
}

PyObject* live_iter(PyObject* self) {
    return Py_NewRef(self);
}

// The wait is outside the guard: a daemon thread that wakes while the
// interpreter finalises is ended by it with a forced unwind, which the
// guard's catch-all (or any noexcept frame) would turn into an abort.
PyObject* live_next(PyObject* self) {
    const std::shared_ptr<LiveQueue> queue = live_of(self).queue;
    for (;;) {
        // Looked at before the pop: the last item may go out just after a
        // pop that found nothing, and must not be passed over.
        const bool finished = live_finished(live_of(self));
        std::optional<QueueItem> item;
        std::exception_ptr failure;
        PyThreadState* state = PyEval_SaveThread();
        try {
            item = queue->pop_within(finished ? std::chrono::milliseconds(0) : kWaitSlice);
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        bool waiting = false;
        PyObject* result = guard_object([&]() -> Ref {
            if (failure) {
                std::rethrow_exception(failure);
            }
            PyLive& live = live_of(self);
            if (item) {
                if (auto* event = std::get_if<core::Event>(&*item)) {
                    return event_into_py(std::move(*event));
                }
                return raise_item_error(*item, live.path);
            }
            if (finished) {
                PyErr_SetNone(PyExc_StopIteration);
                return {};
            }
            waiting = PyErr_CheckSignals() == 0;
            return {};
        });
        if (!waiting) {
            return result;
        }
    }
}

// close() and __exit__.
Ref live_shutdown(PyObject* self) {
    PyLive& live = live_of(self);
    shut_live_thread(live);
    live.queue->wake_all();
    if (!put_end_mark(live)) {
        return {};
    }
    return none();
}

PyObject* live_close(PyObject* self, PyObject*) {
    return guard_object([&] { return live_shutdown(self); });
}

PyObject* live_enter(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

PyObject* live_exit(PyObject* self, PyObject*) {
    return guard_object([&] { return live_shutdown(self); });
}

PyObject* live_follows_all(PyObject* self, PyObject*) {
    const PyLive& live = live_of(self);
    return PyBool_FromLong(live.handle && live.handle->control().follows_all.load());
}

// Folder ids as the engine takes them: index, any generation.
std::optional<std::vector<core::FolderId>> ids_argument(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "argument 'ids': Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise(PyExc_TypeError, "argument 'ids': '" + type_name_of(object) +
                                   "' object cannot be converted to 'Sequence'");
        return std::nullopt;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        name_argument_in_error("ids");
        return std::nullopt;
    }
    std::vector<core::FolderId> ids;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        const auto index = u32_argument(item.get(), "ids");
        if (!index) {
            return std::nullopt;
        }
        ids.push_back(core::FolderId{*index, 0});
    }
    if (PyErr_Occurred()) {
        return std::nullopt;
    }
    return ids;
}

constexpr std::array<const char*, 1> kIdsNames = {"ids"};
constexpr std::array<const char*, 1> kIdNames = {"id"};

template <bool kRelist>
PyObject* live_send_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        const char* name = kRelist ? "relist" : "follow";
        if (!bind_arguments({name, kIdsNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const auto ids = ids_argument(slot);
        if (!ids) {
            return {};
        }
        const PyLive& live = live_of(self);
        if (live.handle) {
            if (kRelist) {
                live.handle->relist(*ids);
            } else {
                live.handle->follow(*ids);
            }
        }
        return none();
    });
}

PyObject* live_rescan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({"rescan", kIdNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const auto index = u32_argument(slot, "id");
        if (!index) {
            return {};
        }
        const PyLive& live = live_of(self);
        if (live.handle) {
            live.handle->rescan(core::FolderId{*index, 0});
        }
        return none();
    });
}

// Faults for tests: "overflow" makes the event stream act as after a lost
// kernel queue at the next tick, "watches" leaves the event stream no watch
// to add, "fatal" throws a fatal error on the live thread at the next tick.
PyObject* live_fault(PyObject* self, PyObject* name) {
    LiveFaults& faults = *live_of(self).faults;
    auto is = [name](const char* fault) {
        return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, fault) == 0;
    };
    if (is("overflow")) {
        faults.overflows->fetch_add(1);
    } else if (is("watches")) {
        faults.max_user_watches->store(0);
    } else if (is("fatal")) {
        faults.fail_at_tick.store(true);
    } else {
        PyErr_SetString(PyExc_ValueError, "no such fault");
        return nullptr;
    }
    Py_RETURN_NONE;
}

int live_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return traverse_async(live_of(self), visit, arg);
}

int live_clear(PyObject* self) {
    clear_async(live_of(self));
    return 0;
}

void live_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    open_lives().erase(self);
    PyLive& live = live_of(self);
    try {
        shut_live_thread(live);
    } catch (...) {
        // A failed join: nobody is left to raise it to.
        set_error_from_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
    clear_async(live);
    dealloc_boxed<PyLive>(self);
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"__enter__", as_cfunction(&live_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(&live_exit), METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {"close", as_cfunction(&live_close), METH_NOARGS,
     "close($self)\n--\n\nStops the scan and ends every loop over it. Safe to call again."},
    {"follows_all", as_cfunction(&live_follows_all), METH_NOARGS,
     "follows_all($self)\n--\n\nEvery change below the root is followed, not only those in "
     "the\nfolders given to `follow`."},
    {"follow", as_cfunction(&live_send_ids<false>), kCallFlags,
     "follow($self, ids)\n--\n\nWith `shown_only`, or once inotify watches run out (Linux), "
     "follows\nonly the folders `ids` of the latest tree. Ignored otherwise."},
    {"relist", as_cfunction(&live_send_ids<true>), kCallFlags,
     "relist($self, ids)\n--\n\nLists the folders `ids` of the latest tree again, and reports "
     "what\nchanged in them: for folders looked at after `Missed`."},
    {"rescan", as_cfunction(&live_rescan), kCallFlags,
     "rescan($self, id)\n--\n\nScans folder `id` of the latest tree again, then reports "
     "`Changed`;\n0 scans it all again."},
    {"_fault", as_cfunction(&live_fault), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A live scan: iterate it, sync or async, and `close()` it, or "
                                  "use it as\na context manager.")},
    {Py_tp_iter, reinterpret_cast<void*>(&live_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&live_next)},
    {Py_am_aiter, reinterpret_cast<void*>(&live_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(&live_anext)},
    {Py_tp_methods, methods},
    {Py_tp_traverse, reinterpret_cast<void*>(&live_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&live_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&live_dealloc)},
    {0, nullptr},
};

PyType_Spec type_spec = {"bramwex.Live", sizeof(Boxed<PyLive>), 0, kClassFlags | Py_TPFLAGS_HAVE_GC,
                         slots};

// Registered with atexit by the module: runs before the interpreter
// finalises, while live threads can still be joined.
PyObject* close_open_lives(PyObject*, PyObject*) {
    return guard_object([&] {
        mark_interpreter_exiting();
        // Held strongly: another thread may drop one while a join runs.
        std::vector<Ref> lives;
        for (PyObject* self : open_lives()) {
            lives.push_back(Ref::borrow(self));
        }
        for (const Ref& self : lives) {
            shut_live_thread(live_of(self.get()));
            live_of(self.get()).queue->wake_all();
        }
        return none();
    });
}

PyMethodDef close_open_lives_def = {"_close_open_lives", as_cfunction(&close_open_lives),
                                    METH_NOARGS, nullptr};

// Registered with os.register_at_fork: runs in a child just forked, where
// only the forking thread goes on. Every Live of the parent has lost its
// live thread, which may have held the queue's or the channel's lock at that
// moment, so it is closed without a word to the thread: its handle is left
// unfreed (closing it would send to the thread and join it), and a new
// empty queue stands for the old one. Iterating it ends at once, and the
// exit hook passes it by.
PyObject* forget_lives_in_child(PyObject*, PyObject*) {
    return guard_object([&] {
        for (PyObject* self : open_lives()) {
            PyLive& live = live_of(self);
            if (live.handle) {
                static_cast<void>(new core::LiveHandle(std::move(*live.handle)));  // never freed
                live.handle.reset();
            }
            live.queue = std::make_shared<LiveQueue>();
        }
        return none();
    });
}

PyMethodDef forget_lives_in_child_def = {
    "_forget_lives_in_child", as_cfunction(&forget_lives_in_child), METH_NOARGS, nullptr};

// A function of the module made from def and handed to registrar:
// registrar(hook), or registrar(keyword=hook) when a keyword is given.
bool register_hook(PyObject* module, PyMethodDef& def, const char* where, const char* registrar,
                   const char* keyword) {
    Ref hook = Ref::steal(PyCFunction_NewEx(&def, nullptr, module));
    Ref call = hook ? import_attribute(where, registrar) : Ref();
    Ref args = call ? Ref::steal(keyword ? PyTuple_New(0) : PyTuple_Pack(1, hook.get())) : Ref();
    Ref keywords = args && keyword ? Ref::steal(Py_BuildValue("{sO}", keyword, hook.get())) : Ref();
    if (!args || (keyword != nullptr && !keywords)) {
        return false;
    }
    return static_cast<bool>(Ref::steal(PyObject_Call(call.get(), args.get(), keywords.get())));
}

}  // namespace

PyObject* live_class() {
    if (made == nullptr) {
        made = PyType_FromSpec(&type_spec);
    }
    return made;
}

PyLive& live_of(PyObject* self) {
    return unbox<PyLive>(self);
}

bool live_finished(const PyLive& live) {
    return !live.handle || live.queue->ended();
}

Ref live_into_py(PyLive live) {
    PyObject* type = live_class();
    if (type == nullptr) {
        return {};
    }
    Ref object = box(type, std::move(live));
    if (object) {
        open_lives().insert(object.get());
    } else {
        shut_live_thread(live);  // box left it here
    }
    return object;
}

bool register_process_hooks(PyObject* module) {
    return register_hook(module, close_open_lives_def, "atexit", "register", nullptr) &&
           register_hook(module, forget_lives_in_child_def, "os", "register_at_fork",
                         "after_in_child");
}

}  // namespace bramwex::binding
