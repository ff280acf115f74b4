// What the methods of Tree share: the object's native part, the folder id
// argument and its check. The methods live in tree_class.cpp (reads),
// tree_disk.cpp (files, label, save) and arrow_capsule.cpp.
#pragma once

#include <fmt/format.h>

#include <array>
#include <optional>

#include "binding/args.hpp"
#include "binding/object.hpp"
#include "binding/py.hpp"
#include "binding/tree_object.hpp"

namespace bramwex::binding {

inline constexpr std::array<const char*, 1> kIdNames = {"id"};

inline const PyTree& tree_of(PyObject* self) {
    return unbox<PyTree>(self);
}

// The folder id argument: an int that fits 32 bits and names a folder in use.
inline std::optional<uint32_t> folder_argument(const core::Tree& tree, PyObject* object) {
    const auto index = u32_argument(object, "id");
    if (!index) {
        return std::nullopt;
    }
    if (*index >= tree.record_count() || (tree.record_at(*index).flags & core::kFlagRemoved) != 0) {
        raise(PyExc_IndexError, fmt::format("no folder {}", *index));
        return std::nullopt;
    }
    return index;
}

inline core::FolderId id_of(uint32_t index) {
    return {index, 0};
}

// A method taking one folder id: binds and checks it, then runs body(tree, index).
template <class Body>
PyObject* with_folder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* function, Body&& body) {
    return guard_object([&]() -> Ref {
        PyObject* slot = nullptr;
        if (!bind_arguments({function, kIdNames, 1}, args, nargs, kwnames, {&slot, 1})) {
            return {};
        }
        const core::Tree& tree = *tree_of(self).tree;
        const auto index = folder_argument(tree, slot);
        if (!index) {
            return {};
        }
        return body(tree, *index);
    });
}

// The methods defined outside tree_class.cpp, with the vectorcall convention.
PyObject* tree_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tree_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tree_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tree_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace bramwex::binding
