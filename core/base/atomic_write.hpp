// Replaces a file whole: the bytes go to a temporary file beside it, which is
// then renamed over it, so a reader sees either the old file or the new one.
// Different processes writing one destination each use their own temporary
// name (it carries the process id) and the last rename wins; within a process
// writes are taken one at a time, because they would share that name.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/base/error.hpp"

namespace bramwex::core {

// The temporary name for destination: destination + ".{pid}.tmp".
std::string temporary_name_for(const std::string& destination);

// Creates the temporary name new (mode 0600, failing when it exists), writes
// the bytes (EINTR retried; a write of 0 bytes is "failed to write whole
// buffer"), closes it and renames it over destination. On any failure the
// temporary name is removed and the first error returned. Nothing is flushed
// to stable storage.
Result<void> write_atomically(const std::string& destination, std::span<const std::byte> bytes);

}  // namespace bramwex::core
