// The thin layer between the interpreter's C API and the rest of the module:
// owned references, the interpreter lock as RAII, and the guard every entry
// point runs its body under, so that no C++ exception ever reaches the
// interpreter. Python failures follow the C API's own convention: an empty
// Ref (or nullopt, or false) means a Python exception is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/fatal.hpp"

namespace bramwex::binding {

// One owned (strong) reference; empty after a failed call.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* object) {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return steal(object);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for the life of the object. Nothing inside may
// touch a Python object; exceptions thrown inside take the lock back as they
// unwind, before the guard turns them into Python exceptions.
class AllowThreads {
  public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
    ~AllowThreads() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState* state_;
};

// Holds the interpreter lock on a thread that may not have it (engine threads).
class Gil {
  public:
    Gil() : state_(PyGILState_Ensure()) {}
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;
    ~Gil() { PyGILState_Release(state_); }

  private:
    PyGILState_STATE state_;
};

// The exception class for the engine's fatal errors, a BaseException subclass
// named "pyo3_runtime.PanicException", made once per process.
PyObject* panic_exception_class();

// Sets the Python exception for the C++ exception being handled; call only
// from inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs body() with every C++ exception turned into the matching Python one:
// core::Fatal into the panic exception with its message, std::bad_alloc into
// MemoryError, anything else into an OSError or RuntimeError. A Python
// exception set by the body passes through untouched. `failed` is what the
// slot returns on failure (nullptr for objects, -1 for ints).
template <class Body, class R>
R guard(Body&& body, R failed) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

// The usual case: a body returning a Ref, the slot returning a new reference.
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    try {
        Ref result = body();
        return result.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// A vectorcall entry (or any other kind) as the method table stores it.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Small helpers over the C API.
Ref str_from(std::string_view text);  // UTF-8 text, which the caller knows is valid
Ref import_attribute(const char* module, const char* name);
Ref int_from(uint64_t value);
Ref bool_from(bool value);
Ref none();

// The exception helpers return an empty Ref so that `return raise(...)` reads
// as the failure it is.
Ref raise(PyObject* type, std::string_view message);

// Prefixes the pending TypeError's or OverflowError's message with
// "argument '{name}': ", as an argument conversion error names its argument;
// other errors pass unchanged.
void name_argument_in_error(std::string_view name);

// The type's qualified name for messages: "'{name}' object".
std::string type_name_of(PyObject* object);

}  // namespace bramwex::binding
