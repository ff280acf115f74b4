// Queued items of a live scan as Python objects: events as event objects,
// errors as the exceptions they raise.
#include "binding/errors.hpp"
#include "binding/live_object.hpp"

namespace bramwex::binding {

Ref raise_item_error(const QueueItem& item, const std::string& path) {
    if (const auto* error = std::get_if<core::Error>(&item)) {
        return raise_os_error(*error, path);
    }
    if (const auto* fatal = std::get_if<LiveFatal>(&item)) {
        PyObject* panic = panic_exception_class();
        return panic != nullptr ? raise(panic, fatal->message) : Ref();
    }
    return raise(PyExc_SystemError, "an event is not an error");
}

Ref item_into_py(QueueItem item, const std::string& path) {
    if (auto* event = std::get_if<core::Event>(&item)) {
        return event_into_py(std::move(*event));
    }
    raise_item_error(item, path);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

}  // namespace bramwex::binding
