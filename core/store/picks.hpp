// The picked folders of a scanned root, "{key}.picks" in the cache folder:
// paths relative to the root, each followed by one NUL byte.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/base/error.hpp"

namespace bramwex::core {

// The non-empty pieces between NUL bytes, in order; a missing file is none.
Result<std::vector<std::string>> load_picks(const std::string& cache_dir,
                                            const std::string& folder);

// Replaces the picks file (the cache folder is created first, mode 0700).
Result<void> save_picks(const std::string& cache_dir, const std::string& folder,
                        std::span<const std::string> picks);

}  // namespace bramwex::core
