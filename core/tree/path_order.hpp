// Byte order of the paths of files below a scan root, decided without building
// the paths: a folder ladder climbs to the folders just below the common
// ancestor of the two files' folders, and their names decide.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/tree/folder_ladder.hpp"

namespace bramwex::core {

class PathOrder {
  public:
    PathOrder() = default;
    explicit PathOrder(FolderLinks links) : ladder_(std::move(links)) {}

    // Compares "path of folder_a/name_a" with "path of folder_b/name_b" byte
    // by byte, a prefix first (the path of the root being empty, a file
    // there is just its name): negative, 0 or positive.
    int compare(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                std::string_view name_b);

  private:
    // Builds both paths: only for two folders of one path, or a name with
    // a '/' in it, which the name by name comparison cannot settle.
    int compare_paths(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                      std::string_view name_b);
    std::string path_of(uint32_t folder);

    FolderLadder ladder_;
};

}  // namespace bramwex::core
