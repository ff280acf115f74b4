// Where saved scans and picks live: BRAMWEX_CACHE_DIR, else Library/Caches/
// bramwex under HOME. Finding the folder never creates it; the savers do,
// right before they write.
#pragma once

#include <string>

#include "core/base/error.hpp"

namespace bramwex::core {

// BRAMWEX_CACHE_DIR when set and not empty, else HOME (set and not empty)
// joined with "Library/Caches/bramwex", else the error "HOME is not set".
Result<std::string> cache_dir();

// Creates the folder and every missing parent with mode 0700; a folder that
// already exists is success.
Result<void> create_cache_dir(const std::string& dir);

// Removes the temporary files that saves of scans and picks killed before
// their rename left in the folder, once their process is gone and they are
// over a minute old. Failures are ignored: a leftover is in nobody's way.
void remove_stale_temporaries(const std::string& dir);

// dir + "/" + name, without doubling a trailing slash.
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace bramwex::core
