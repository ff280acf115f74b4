// Next, the awaitable Live.__anext__ returns: the awaited asyncio.Queue.get()
// with what comes out of it turned into the end of an await.
#include <array>

#include "binding/args.hpp"
#include "binding/live_object.hpp"
#include "binding/object.hpp"

namespace bramwex::binding {

namespace {

PyObject* made = nullptr;  // never freed (see py.hpp)

struct NextParts {
    Ref inner;   // the iterator of the awaited get()
    Ref aqueue;  // the queue it gets from
};

PyObject* inner_of(PyObject* self) {
    return unbox<NextParts>(self).inner.get();
}

// The get() came back: None ends the iteration, an exception put for an
// error item is raised, an event becomes the value of the await.
PyObject* unwrap_stop_iteration(PyObject* self, PyObject* result) {
    if (result != nullptr || !PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return result;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    Ref got = owned_value ? Ref::steal(PyObject_GetAttrString(owned_value.get(), "value"))
                          : Ref::borrow(Py_None);
    if (!got) {
        return nullptr;
    }
    if (got.get() == Py_None) {
        // The end mark goes back for the next await: every task that waits
        // on a closed Live ends, not only the first. On the loop's thread.
        Ref put = Ref::steal(
            PyObject_CallMethod(unbox<NextParts>(self).aqueue.get(), "put_nowait", "O", Py_None));
        if (!put) {
            return nullptr;
        }
        PyErr_SetNone(PyExc_StopAsyncIteration);
    } else if (PyExceptionInstance_Check(got.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(got.get())), got.get());
    } else {
        // An instance, so that a tuple is not taken for the constructor's arguments.
        Ref stop =
            Ref::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, got.get(), nullptr));
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop.get());
        }
    }
    return nullptr;
}

PyObject* next_await(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* next_next(PyObject* self) {
    // The slot itself: PyIter_Next would swallow the StopIteration and its value.
    PyObject* inner = inner_of(self);
    auto iternext = reinterpret_cast<iternextfunc>(PyType_GetSlot(Py_TYPE(inner), Py_tp_iternext));
    PyObject* result =
        iternext != nullptr ? iternext(inner) : PyObject_CallMethod(inner, "__next__", nullptr);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);  // returned None: the end mark
    }
    return unwrap_stop_iteration(self, result);
}

// One argument as it is: the "O" format of PyObject_CallMethod would spread a tuple.
PyObject* call_with(PyObject* object, const char* name, PyObject* argument) {
    Ref method = Ref::steal(PyObject_GetAttrString(object, name));
    return method ? PyObject_CallFunctionObjArgs(method.get(), argument, nullptr) : nullptr;
}

PyObject* next_send(PyObject* self, PyObject* value) {
    return unwrap_stop_iteration(self, call_with(inner_of(self), "send", value));
}

constexpr std::array<const char*, 3> kThrowNames = {"typ", "val", "_tb"};

PyObject* next_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> slots{};
    if (!bind_arguments({"throw", kThrowNames, 1}, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    PyObject* thrown = absent(slots[1]) ? slots[0] : slots[1];
    return unwrap_stop_iteration(self, call_with(inner_of(self), "throw", thrown));
}

PyObject* next_close(PyObject* self, PyObject*) {
    Ref done = Ref::steal(PyObject_CallMethod(inner_of(self), "close", nullptr));
    return done ? none().release() : nullptr;
}

PyMethodDef methods[] = {
    {"send", as_cfunction(&next_send), METH_O, "send($self, value)\n--\n\n"},
    {"throw", as_cfunction(&next_throw), METH_FASTCALL | METH_KEYWORDS,
     "throw($self, typ, val=None, _tb=None)\n--\n\nCancelling, as asyncio does it: passed on to "
     "the `get()`."},
    {"close", as_cfunction(&next_close), METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The awaitable `__anext__` returns: the `asyncio.Queue.get()` of the\nnext "
                       "event, so waiting and cancelling are asyncio's own. What comes out\nis the "
                       "event, an exception to raise, or `None` once closed.")},
    {Py_am_await, reinterpret_cast<void*>(&next_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(&next_next)},
    {Py_tp_methods, methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<NextParts>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"bramwex.Next", sizeof(Boxed<NextParts>), 0, kClassFlags, slots};

}  // namespace

PyObject* next_class() {
    if (made == nullptr) {
        made = PyType_FromSpec(&type_spec);
    }
    return made;
}

Ref next_into_py(Ref inner, Ref aqueue) {
    PyObject* type = next_class();
    if (type == nullptr) {
        return {};
    }
    return box(type, NextParts{std::move(inner), std::move(aqueue)});
}

}  // namespace bramwex::binding
