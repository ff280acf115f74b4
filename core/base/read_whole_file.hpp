// Reads a whole file into a 16-byte-aligned buffer, so a saved scan read this
// way can be checked and read in place like a mapped one.
#pragma once

#include <optional>
#include <string>

#include "core/base/aligned_buffer.hpp"
#include "core/base/error.hpp"

namespace bramwex::core {

// Reads of at most 0x7fffffff bytes, EINTR retried; open and read errors
// carry the path. A folder is EISDIR; nothing when the name holds anything
// else but a regular file (see open_regular_file).
Result<std::optional<AlignedBuffer>> read_whole_file(const std::string& path);

}  // namespace bramwex::core
