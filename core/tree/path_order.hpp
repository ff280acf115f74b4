// Byte order of the paths of files below a scan root, decided without building
// the paths. Each folder met gets its depth and one skip link (to an ancestor
// chosen so that any ancestor is reached in a logarithmic number of steps), kept
// while the order lives, so comparing two files takes a few steps per doubling
// of depth rather than one per level: climb to the folders just below the
// common ancestor and compare their names.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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

class PathOrder {
  public:
    PathOrder() = default;
    explicit PathOrder(FolderLinks links) : links_(std::move(links)) {}

    // Compares "path of folder_a/name_a" with "path of folder_b/name_b" byte
    // by byte, a prefix first (the path of the root being empty, a file
    // there is just its name): negative, 0 or positive.
    int compare(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                std::string_view name_b);

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
    std::string_view name_of(uint32_t folder) const;
    // Builds both paths: only for two folders of one path, or a name with
    // a '/' in it, which the name by name comparison cannot settle.
    int compare_paths(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                      std::string_view name_b);
    std::string path_of(uint32_t folder);

    FolderLinks links_;
    absl::flat_hash_map<uint32_t, Rung> rungs_;
    std::vector<std::pair<uint32_t, uint32_t>> climb_;  // folders and parents met above one
};

}  // namespace bramwex::core
