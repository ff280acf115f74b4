#include "binding/py.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

namespace bramwex::binding {

namespace {

constexpr const char* kPanicDoc =
    "The panic message as a Python exception: an internal limit of the engine was reached "
    "inside a call.\n\nLike SystemExit and KeyboardInterrupt it derives from BaseException, "
    "so a bare `except Exception` does not swallow it.";

}  // namespace

PyObject* panic_exception_class() {
    // A plain pointer, never freed: a C++ static with a destructor would run
    // after the interpreter is gone.
    static PyObject* made = nullptr;
    if (made == nullptr) {
        made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return made;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const core::Fatal& fatal) {
        PyObject* panic = panic_exception_class();
        if (panic != nullptr) {
            PyErr_SetString(panic, fatal.what());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& error) {
        if (error.code().category() == std::generic_category() ||
            error.code().category() == std::system_category()) {
            errno = error.code().value();
            PyErr_SetFromErrno(PyExc_OSError);
        } else {
            PyErr_SetString(PyExc_RuntimeError, error.what());
        }
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

Ref str_from(std::string_view text) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref import_attribute(const char* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) {
        return {};
    }
    return Ref::steal(PyObject_GetAttrString(imported.get(), name));
}

Ref int_from(uint64_t value) {
    return Ref::steal(PyLong_FromUnsignedLongLong(value));
}

Ref bool_from(bool value) {
    return Ref::borrow(value ? Py_True : Py_False);
}

Ref none() {
    return Ref::borrow(Py_None);
}

Ref raise(PyObject* type, std::string_view message) {
    Ref text = str_from(message);
    if (text) {
        PyErr_SetObject(type, text.get());
    }
    return {};
}

void name_argument_in_error(std::string_view name) {
    PyObject* kind = PyErr_ExceptionMatches(PyExc_TypeError)       ? PyExc_TypeError
                     : PyErr_ExceptionMatches(PyExc_OverflowError) ? PyExc_OverflowError
                                                                   : nullptr;
    if (kind == nullptr) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!text) {
        return;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        return;
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    message.append(utf8, static_cast<size_t>(size));
    raise(kind, message);
}

std::string type_name_of(PyObject* object) {
    Ref name = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

}  // namespace bramwex::binding
