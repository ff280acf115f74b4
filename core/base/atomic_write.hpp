// Replaces a file whole: the bytes go to a temporary file beside it, which is
// then renamed over it, so a reader sees either the old file or the new one.
// Every write takes a fresh temporary name (the process id and a random
// suffix), so writers never share one, and the last rename wins. A write
// killed before its rename leaves its temporary behind; the name says which
// process it was, for whoever cleans up.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/base/error.hpp"

namespace bramwex::core {

// Creates a temporary name new (mode 0600; another name when one exists),
// writes the bytes (EINTR retried; a write of 0 bytes is "failed to write
// whole buffer"), closes it and renames it over destination. On any failure
// the temporary file is removed and the first error returned. Nothing is
// flushed to stable storage.
Result<void> write_atomically(const std::string& destination, std::span<const std::byte> bytes);

// The file name a temporary file of write_atomically (or of an earlier
// version, without the random suffix) left in a folder: the destination's
// name and the writer's process id.
struct TemporaryName {
    std::string_view destination;
    pid_t pid = 0;
};
std::optional<TemporaryName> parse_temporary_name(std::string_view name);

}  // namespace bramwex::core
