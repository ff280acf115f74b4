// Where the paths of two folders below a scan root part, found without
// walking either path. Each folder met gets its depth and one skip link (to
// an ancestor chosen so that any ancestor is reached in a logarithmic number
// of steps), kept while the ladder lives, so finding the folders just below
// the common ancestor of two folders takes a few steps per doubling of depth
// rather than one per level. The orders of paths and of walks are read from
// there. Not thread-safe: one ladder per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

namespace bramwex::core {

// A recorded folder's parent and its name (kNoParent for the root).
struct FolderLink {
    uint32_t parent = 0;
    std::string_view name;
};
// Nothing for a folder not recorded (yet); such a folder's path counts as the
// root's (empty). Names stay valid as long as the links.
using FolderLinks = std::function<std::optional<FolderLink>(uint32_t folder)>;

// The folders just below the common ancestor of a and b on each side; the
// side whose folder is that ancestor (it holds the other, or a is b) has none.
struct Parting {
    static constexpr uint32_t kNone = 0;  // the root is below nothing
    uint32_t a = kNone;
    uint32_t b = kNone;
};

class FolderLadder {
  public:
    FolderLadder() = default;
    explicit FolderLadder(FolderLinks links) : links_(std::move(links)) {}

    Parting part(uint32_t a, uint32_t b);
    // The folder and its ancestors below the root, the folder first: for
    // what a climb cannot settle alone.
    std::vector<uint32_t> chain(uint32_t folder);
    std::string_view name_of(uint32_t folder) const { return links_(folder)->name; }

  private:
    struct Rung {
        uint32_t parent = 0;
        uint32_t skip = 0;  // an ancestor; the root for the root
        uint32_t depth = 0;
    };
    struct Place {
        uint32_t folder = 0;
        Rung rung;
    };
    // The folder with its rung, adding the rungs of it and its ancestors met
    // for the first time; the root when its chain is not all recorded.
    Place place(uint32_t folder);
    Rung rung_of(uint32_t folder) const;
    // The ancestor of from at the given depth (at most from's).
    Place ancestor_at(Place from, uint32_t depth) const;

    FolderLinks links_;
    absl::flat_hash_map<uint32_t, Rung> rungs_;
    std::vector<std::pair<uint32_t, uint32_t>> climb_;  // folders and parents met above one
};

}  // namespace bramwex::core
