// The name of a scanned folder in the cache folder: the UUID of its volume
// and a hash of its canonical path, so the same folder reached through a
// symbolic link or a relative path finds the same files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/sys/volume_uuid.hpp"

namespace bramwex::core {

// The endings of the saved scan and picks file names.
inline constexpr char kScanExtension[] = ".scan";
inline constexpr char kPicksExtension[] = ".picks";

struct CacheKey {
    std::string canonical_path;  // symbolic links resolved, absolute
    std::string text;            // "{uuid:032x}-{path hash:016x}"

    std::string scan_file_name() const { return text + kScanExtension; }
    std::string picks_file_name() const { return text + kPicksExtension; }
};

// FNV-1a, 64 bits.
uint64_t fnv1a_64(std::string_view bytes);

// The UUID bytes in stored order (the UUID read as a big-endian number), "-",
// then the hash, all lower-case hexadecimal.
std::string cache_key_text(const sys::VolumeUuid& volume, uint64_t path_hash);

// realpath(3); its error with the asked path.
Result<std::string> canonical_path(const std::string& path);

// Canonicalizes the path and asks its volume for its UUID; either error is returned.
Result<CacheKey> cache_key_for_path(const std::string& path);

}  // namespace bramwex::core
