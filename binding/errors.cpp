#include "binding/errors.hpp"

#include <cerrno>
#include <string>

#include "binding/text.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::binding {

Ref raise_os_error(const core::Error& error, std::string_view path) {
    if (error.code == 0) {
        return raise(PyExc_OSError, core::to_utf8_lossy(path) + ": " + error.message);
    }
    Ref filename = path_object(path);
    if (!filename) {
        return {};
    }
    errno = error.code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    return {};
}

}  // namespace bramwex::binding
