#include "binding/errors.hpp"

#include <cerrno>
#include <string>

#include "binding/text.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::binding {

PyObject* io_error_class(int code) {
    switch (code) {
        case ENOENT:
            return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM:
            return PyExc_PermissionError;
        case EEXIST:
            return PyExc_FileExistsError;
        case ENOTDIR:
            return PyExc_NotADirectoryError;
        case EISDIR:
            return PyExc_IsADirectoryError;
        case EAGAIN:
            return PyExc_BlockingIOError;
        case EINTR:
            return PyExc_InterruptedError;
        case EPIPE:
            return PyExc_BrokenPipeError;
        case ETIMEDOUT:
            return PyExc_TimeoutError;
        case ECONNREFUSED:
            return PyExc_ConnectionRefusedError;
        case ECONNRESET:
            return PyExc_ConnectionResetError;
        case ECONNABORTED:
            return PyExc_ConnectionAbortedError;
        default:
            return PyExc_OSError;
    }
}

Ref raise_io_error(const core::Error& error) {
    return raise(io_error_class(error.code), error.to_string());
}

Ref raise_scan_error(const core::Error& error, std::string_view path) {
    if (error.code == 0) {
        std::string message = core::to_utf8_lossy(path);
        message += ": ";
        message += error.message;
        return raise(PyExc_OSError, message);
    }
    Ref strerror = import_attribute("os", "strerror");
    if (!strerror) {
        return {};
    }
    Ref number = Ref::steal(PyLong_FromLong(error.code));
    if (!number) {
        return {};
    }
    Ref text = Ref::steal(PyObject_CallFunctionObjArgs(strerror.get(), number.get(), nullptr));
    Ref filename = text ? path_object(path) : Ref();
    if (!filename) {
        return {};
    }
    Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), text.get(),
                                                            filename.get(), nullptr));
    if (exception) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    }
    return {};
}

}  // namespace bramwex::binding
