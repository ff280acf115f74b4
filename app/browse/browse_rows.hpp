// The rows of one folder: subfolders from the tree, files from the disk, with
// labels and changes since the browser opened, in the order shown.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "app/browse/browse_row.hpp"

namespace bramwex::app {

// Stable order: by change then size (by_change) or by size, then by name
// bytes. names[k] is the name of rows[k].
void sort_rows(std::vector<BrowseRow>& rows, std::span<const std::string_view> names,
               bool by_change);

}  // namespace bramwex::app
