// The files of one folder, listed from disk now: a tree keeps only folder
// totals and the largest files, so Tree.files reads the folder again.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::binding {

struct FolderFile {
    std::string name;   // as listed, not necessarily UTF-8
    uint64_t size = 0;  // allocated bytes
};

// Every entry that is not a folder (files, symbolic links, other kinds), in
// the order the reader gives them. A folder on another device is not touched
// (empty list). The path's last component must not be a symbolic link.
// Fails with the errno of the open, the file-system probe or the listing.
std::expected<std::vector<FolderFile>, int> list_folder_files(const core::Tree& tree,
                                                              uint32_t index);

}  // namespace bramwex::binding
