// Reads the files of one shown folder from disk with the scanner's own
// directory readers; the tree keeps folders, not files.
#pragma once

#include <vector>

#include "app/browse/browse_row.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::app {

// Every entry that is not a folder, in the order read. Unreadable folders and
// folders on another device give no files without touching the disk; any
// failure (open, file-system type, listing) gives no files, silently.
std::vector<ListedFile> list_folder_files(const core::Tree& tree, core::FolderId id,
                                          bool reclaimable);

}  // namespace bramwex::app
