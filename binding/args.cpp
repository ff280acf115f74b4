#include "binding/args.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "core/base/error.hpp"
#include "core/scan/scan_options.hpp"

namespace bramwex::binding {

namespace {

std::string positional_count_text(const Signature& signature) {
    const size_t most = signature.names.size();
    if (signature.required == most) {
        return fmt::format("{} positional argument{}", most, most == 1 ? "" : "s");
    }
    return fmt::format("from {} to {} positional arguments", signature.required, most);
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const size_t given = static_cast<size_t>(nargs);
    if (given > signature.names.size()) {
        raise(PyExc_TypeError, fmt::format("{}() takes {} but {} were given", signature.function,
                                           positional_count_text(signature), given));
        return false;
    }
    for (size_t k = 0; k < slots.size(); ++k) {
        slots[k] = k < given ? args[k] : nullptr;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) {
            return false;
        }
        size_t at = 0;
        while (at < signature.names.size() &&
               PyUnicode_CompareWithASCIIString(keyword, signature.names[at]) != 0) {
            ++at;
        }
        if (at == signature.names.size()) {
            Ref shown = Ref::steal(PyObject_Str(keyword));
            const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
            if (text == nullptr) {
                return false;
            }
            raise(PyExc_TypeError, fmt::format("{}() got an unexpected keyword argument '{}'",
                                               signature.function, text));
            return false;
        }
        if (slots[at] != nullptr) {
            raise(PyExc_TypeError, fmt::format("{}() got multiple values for argument '{}'",
                                               signature.function, signature.names[at]));
            return false;
        }
        slots[at] = args[nargs + k];
    }
    for (size_t k = 0; k < signature.required; ++k) {
        if (slots[k] == nullptr) {
            raise(PyExc_TypeError, fmt::format("{}() missing required argument '{}' (pos {})",
                                               signature.function, signature.names[k], k + 1));
            return false;
        }
    }
    return true;
}

std::optional<std::string> fs_encode(PyObject* text) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(text));
    if (!encoded) {
        return std::nullopt;
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) != 0) {
        return std::nullopt;
    }
    return std::string(bytes, static_cast<size_t>(size));
}

std::optional<std::string> path_argument(PyObject* object, std::string_view name) {
    Ref path = Ref::steal(PyOS_FSPath(object));
    if (!path) {
        name_argument_in_error(name);
        return std::nullopt;
    }
    if (!PyUnicode_Check(path.get())) {
        raise(PyExc_TypeError, fmt::format("argument '{}': expected a str path, not '{}'", name,
                                           type_name_of(path.get())));
        return std::nullopt;
    }
    auto encoded = fs_encode(path.get());
    if (encoded && core::has_nul_byte(*encoded)) {
        raise(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    return encoded;
}

std::optional<uint32_t> u32_argument(PyObject* object, std::string_view name) {
    Ref number = Ref::steal(PyNumber_Index(object));
    if (!number) {
        name_argument_in_error(name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (overflow == 0 && value == -1 && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        raise(PyExc_OverflowError,
              fmt::format("argument '{}': number too small to fit in target type", name));
        return std::nullopt;
    }
    if (overflow > 0 || value > 0xFFFFFFFFLL) {
        raise(PyExc_OverflowError,
              fmt::format("argument '{}': number too large to fit in target type", name));
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<uint64_t> u64_argument(PyObject* object, std::string_view name) {
    Ref number = Ref::steal(PyNumber_Index(object));
    if (!number) {
        name_argument_in_error(name);
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_argument_in_error(name);
        return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

bool threads_argument(PyObject* slot, std::optional<uint32_t>& threads) {
    if (absent(slot)) {
        return true;
    }
    const auto count = u64_argument(slot, "threads");
    if (!count) {
        return false;
    }
    if (*count != 0) {  // 0, like None, is automatic; more than the pool takes, all it takes
        threads = static_cast<uint32_t>(std::min<uint64_t>(*count, core::kMaxScanThreads));
    }
    return true;
}

}  // namespace bramwex::binding
