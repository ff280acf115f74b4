// Where saved scans and picks live: BRAMWEX_CACHE_DIR, else Library/Caches/
// bramwex under HOME. Finding the folder never creates it; the savers do,
// right before they write.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/base/error.hpp"

namespace bramwex::core {

// BRAMWEX_CACHE_DIR when set and not empty, else HOME (set and not empty)
// joined with "Library/Caches/bramwex", else the error "HOME is not set".
Result<std::string> cache_dir();

// Saves a scan or picks file: creates the folder and every missing parent
// with mode 0700 (one that already exists is success), removes the temporary
// files that saves killed before their rename left there once their process
// is gone and they are over a minute old (failing to is ignored: a leftover
// is in nobody's way), then writes name in it with write_atomically.
Result<void> save_in_cache_dir(const std::string& dir, const std::string& name,
                               std::span<const std::byte> bytes);

// dir + "/" + name, without doubling a trailing slash.
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace bramwex::core
