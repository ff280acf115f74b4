// Engine errors as Python exceptions.
#pragma once

#include <string_view>

#include "binding/py.hpp"
#include "core/base/error.hpp"

namespace bramwex::binding {

// An error of a scan (or of live following) on the root `path`: an OS error
// becomes OSError(errno, os.strerror(errno), pathlib.Path(path)), which the
// interpreter turns into FileNotFoundError, PermissionError, ...; any other
// error OSError("{path}: {message}").
Ref raise_scan_error(const core::Error& error, std::string_view path);

// The plain conversion of an I/O error: the OSError subclass for its errno,
// with the error's text ("No such file or directory (os error 2)") as its one
// argument.
Ref raise_io_error(const core::Error& error);

// The exception class raise_io_error picks for an errno.
PyObject* io_error_class(int code);

}  // namespace bramwex::binding
