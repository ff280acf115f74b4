// Opening a file that must be a regular file: a saved scan or picks, or a
// symbolic link to one. Whatever else sits at the name is refused before it
// can harm the reader: a FIFO whose open or read would wait for a writer, or
// a device.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core {

struct RegularFile {
    UniqueFd fd;
    struct stat info;  // as fstat found it
};

// Opens path read-only without waiting, following symbolic links (EINTR
// retried). A folder is the error EISDIR; anything else but a regular file
// is nothing (not an error); open and fstat errors carry the path.
Result<std::optional<RegularFile>> open_regular_file(const std::string& path);

}  // namespace bramwex::core
