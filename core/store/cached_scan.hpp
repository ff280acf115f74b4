// The saved scan of a folder in the cache folder, "{key}.scan": saved after
// every scan, found again by the folder's CacheKey. A file that fails its
// checks, or that holds another folder with the same key, counts as no saved
// scan; it stays and is replaced by the next save.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/base/error.hpp"
#include "core/base/file_map.hpp"
#include "core/store/cache_key.hpp"
#include "core/store/stored_tree.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

struct FileTime {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;  // below 1,000,000,000
    friend bool operator==(const FileTime&, const FileTime&) = default;
};

// An opened, not yet checked, cache file.
struct CachedScan {
    CacheKey key;            // the canonical path and the key text
    std::string asked_path;  // as the caller gave it
    FileTime modified;
    FileMap map;  // the whole file

    std::span<const std::byte> bytes() const { return map.bytes(); }
};

// Serializes the tree under the folder's canonical path and replaces
// "{key}.scan" in the cache folder (created first, mode 0700).
Result<void> save_cached_scan(const std::string& cache_dir, const std::string& folder,
                              const Tree& tree, bool has_reclaimable);

// Nothing when the folder has no cache file; an error for anything else that fails.
Result<std::optional<CachedScan>> open_cached_scan(const std::string& cache_dir,
                                                   const std::string& folder);

// The in-place view of an opened cache file: nothing when the file is invalid
// or holds another folder's scan. The view reads the map of `scan`.
std::optional<StoredTree> open_stored_tree(const CachedScan& scan);

struct LoadedTree {
    Tree tree;
    FileTime modified;
    bool has_reclaimable = false;  // header flag bit 0
};

// The saved scan of the folder as a Tree, or nothing as open_stored_tree says.
Result<std::optional<LoadedTree>> load_cached_tree(const std::string& cache_dir,
                                                   const std::string& folder);

}  // namespace bramwex::core
