#include "binding/text.hpp"

#include "binding/args.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::binding {

namespace {

bool valid_utf8(std::string_view bytes) {
    return !core::for_each_utf8_run(
        bytes, [](std::string_view) {}, [] {});
}

// pathlib.Path, imported on first use and kept for the life of the process
// (a plain pointer: nothing may free it after the interpreter has gone).
PyObject* path_class() {
    static PyObject* cached = nullptr;
    if (cached == nullptr) {
        cached = import_attribute("pathlib", "Path").release();
    }
    return cached;
}

}  // namespace

Ref name_str(std::string_view bytes) {
    if (valid_utf8(bytes)) {
        return str_from(bytes);
    }
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Ref path_object(std::string_view bytes) {
    PyObject* path = path_class();
    if (path == nullptr) {
        return {};
    }
    Ref text = name_str(bytes);
    if (!text) {
        return {};
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(path, text.get(), nullptr));
}

std::optional<std::string> expand_user_path(std::string_view path) {
    Ref expanduser = import_attribute("os.path", "expanduser");
    if (!expanduser) {
        return std::nullopt;
    }
    Ref given = path_object(path);
    if (!given) {
        return std::nullopt;
    }
    Ref expanded = Ref::steal(PyObject_CallFunctionObjArgs(expanduser.get(), given.get(), nullptr));
    if (!expanded) {
        return std::nullopt;
    }
    return path_argument(expanded.get(), "path");
}

}  // namespace bramwex::binding
