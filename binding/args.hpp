// Arguments of the module's functions and methods, taken with the vectorcall
// convention (METH_FASTCALL | METH_KEYWORDS): binding them to their names,
// and converting them to C++ values with the errors the interpreter's own
// functions give.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py.hpp"

namespace bramwex::binding {

// Parameters taken by position or by keyword; the first `required` must be given.
struct Signature {
    const char* function;  // as messages name it: "scan", "Tree.size"
    std::span<const char* const> names;
    size_t required = 0;
};

// Fills slots (one per name) with borrowed references, nullptr for a missing
// optional argument; false with TypeError set for a missing, repeated or
// unexpected argument.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// The argument counts as absent: not given, or None.
inline bool absent(PyObject* slot) {
    return slot == nullptr || slot == Py_None;
}

// A path argument: through os.fspath, then a str only (bytes are refused),
// encoded with the file-system encoding so that surrogate-escaped bytes come
// back unchanged.
std::optional<std::string> path_argument(PyObject* object, std::string_view name);

// A str encoded with the file-system encoding (no os.fspath).
std::optional<std::string> fs_encode(PyObject* text);

// An integer (by __index__) that fits an unsigned 32-bit value; a negative or
// too large one raises OverflowError naming the argument.
std::optional<uint32_t> u32_argument(PyObject* object, std::string_view name);

// An integer (by __index__) that fits an unsigned 64-bit count; else as above.
std::optional<uint64_t> u64_argument(PyObject* object, std::string_view name);

// The `threads` argument of a scan into threads: None or 0 leave it automatic,
// a count past the largest pool the scan makes is that largest; false with an
// error set for what is not an unsigned 64-bit count, before any thread starts.
bool threads_argument(PyObject* slot, std::optional<uint32_t>& threads);

}  // namespace bramwex::binding
