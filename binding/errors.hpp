// Engine errors as Python exceptions, made the way the interpreter makes its
// own, so callers can catch FileNotFoundError and read errno and filename.
#pragma once

#include <string_view>

#include "binding/py.hpp"
#include "core/base/error.hpp"

namespace bramwex::binding {

// An OS error becomes OSError(errno, strerror, pathlib.Path(path)), which the
// interpreter turns into the subclass for that errno (FileNotFoundError,
// PermissionError, IsADirectoryError, ...); an error without an errno
// becomes OSError("{path}: {message}"). `path` is the file the caller named.
Ref raise_os_error(const core::Error& error, std::string_view path);

}  // namespace bramwex::binding
