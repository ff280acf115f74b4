// Python objects that carry a C++ value: the value is placement-new'd into
// the memory the class's tp_alloc gives and destroyed in tp_dealloc. None of
// these classes holds Python references, so none takes part in the cyclic GC.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "binding/py.hpp"

namespace bramwex::binding {

template <class Value>
struct Boxed {
    PyObject header;
    Value value;
};

template <class Value>
Value& unbox(PyObject* self) {
    return reinterpret_cast<Boxed<Value>*>(self)->value;
}

// A new object of the class holding value. The value is built before the
// object, so nothing that can throw runs once the memory is taken.
template <class Value>
Ref box(PyObject* type, Value&& value) {
    static_assert(std::is_nothrow_move_constructible_v<std::decay_t<Value>>);
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
    Ref object = Ref::steal(alloc(type_object, 0));
    if (object) {
        new (&unbox<std::decay_t<Value>>(object.get())) std::decay_t<Value>(std::move(value));
    }
    return object;
}

template <class Value>
void dealloc_boxed(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    unbox<Value>(self).~Value();
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of heap types hold their class
}

#ifndef Py_TPFLAGS_IMMUTABLETYPE
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)  // a flag of the stable ABI from 3.10 on
#endif

// The flags of every class of the module: Python code cannot call the class
// ("cannot create 'bramwex.Tree' instances"), derive from it, nor set or
// delete its attributes (so `Tier.Cache` stays the member `Label.tier` gives).
inline constexpr unsigned int kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// Puts value into a class of the module while it is being made: the type's
// own setattr refuses immutable classes, the generic one writes the class's
// dictionary, and PyType_Modified drops lookups cached before. False with
// the exception set on failure.
inline bool set_class_attribute(PyObject* type, const char* name, PyObject* value) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key || PyObject_GenericSetAttr(type, key.get(), value) != 0) {
        return false;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return true;
}

}  // namespace bramwex::binding
