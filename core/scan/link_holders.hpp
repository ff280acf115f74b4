// What live following keeps beside its tree about files and their links, so
// that a rescan listing only some folders counts every file once:
// - every folder that holds a link of each multi-link file. A tree counts such
//   a file once, in one of these folders (the tree's folder index says which);
//   the others are kept so that, when that folder loses its link, a rescan can
//   count the file where a link is still held without listing every folder;
// - the single-link files each folder counts, as fingerprints. When a file
//   gains a link, only the new link's folder hears of it; the folder that
//   counted the file alone is found here and listed again.
// Threading: a walk writes these under its hard-link mutex; otherwise they
// belong to the thread that follows the tree.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::core {

struct LinkHolder {
    uint32_t folder = 0;
    std::string name;  // the link's name in that folder, without the NUL
};

struct LinkedFileHolders {
    uint64_t allocated = 0;  // as last met; what the folder counting it counts
    uint64_t reclaimable = 0;
    bool resized = false;             // met at another size than counted
    std::vector<LinkHolder> holders;  // in no particular order
};

// 32 bits of a file's identity: two files may share one, which costs at most
// a folder listed once more than needed.
inline uint32_t file_fingerprint(const DeviceFile& key) {
    const uint64_t mixed = key.file_id ^ (key.device * 0x9E3779B97F4A7C15u);
    return static_cast<uint32_t>(mixed ^ (mixed >> 32));
}

// Folder index -> fingerprints of the single-link files that folder counts
// (files without allocated bytes left out: counting them twice adds
// nothing). Changes made after a mark can be rolled back.
class LoneFiles {
  public:
    // Replaces what the folder holds.
    void set(uint32_t folder, std::span<const uint32_t> fingerprints);
    // The folders holding a file with one of the fingerprints, ascending.
    std::vector<uint32_t> folders_holding(const absl::flat_hash_set<uint32_t>& fingerprints) const;

    // Replaced fingerprints are most of the table.
    bool untidy() const { return fingerprints_.size() > 2 * used_ + 4096; }
    // A copy without replaced fingerprints; with a renumbering given, folder
    // i becomes renumbered[i] and kNoParent drops it.
    LoneFiles tidied(std::span<const uint32_t> renumbered) const;

    // From here on every change is remembered until keep() or roll_back().
    void mark();
    void keep() noexcept;
    void roll_back() noexcept;

  private:
    struct Range {
        uint32_t begin = 0;
        uint32_t end = 0;
    };

    std::vector<uint32_t> fingerprints_;  // folders' ranges, and ranges replaced since
    std::vector<Range> ranges_;           // by folder
    size_t used_ = 0;                     // fingerprints inside a folder's range
    bool marked_ = false;
    size_t marked_size_ = 0;
    size_t marked_used_ = 0;
    std::vector<std::pair<uint32_t, Range>> undo_;  // (folder, its range before)
};

struct LinkHolders {
    absl::flat_hash_map<DeviceFile, LinkedFileHolders> files;
    LoneFiles lone;
    // Files first met with several links, or met at another size than
    // counted, since the last rescan settled them.
    std::vector<DeviceFile> unsettled;
};

}  // namespace bramwex::core
