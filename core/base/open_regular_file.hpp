// Opening a file that must be a regular file: a saved scan or picks. Whatever
// else sits at the name is refused before it can harm the reader: a FIFO
// whose open or read would wait for a writer, a device, a folder, or a
// symbolic link leading elsewhere.
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

// Opens path read-only without waiting and without following a final
// symbolic link (EINTR retried). Nothing (not an error) when anything but a
// regular file is there; open and fstat errors carry the path.
Result<std::optional<RegularFile>> open_regular_file(const std::string& path);

}  // namespace bramwex::core
