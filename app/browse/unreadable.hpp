// The folders of a tree that could not be read, kept sorted by path so that
// counting those below any folder is one binary search.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::app {

struct UnreadableEntry {
    std::string path;  // absolute, as the tree spells it
    core::FolderId id;
    friend bool operator==(const UnreadableEntry&, const UnreadableEntry&) = default;
};

// Every folder not removed that has an error text, in index order.
std::vector<UnreadableEntry> unreadable_entries(const core::Tree& tree);

// The same, sorted by path bytes, then by index.
std::vector<UnreadableEntry> sorted_unreadable(const core::Tree& tree);

// How many entries of the sorted list lie below folder_path (not counting
// the folder itself).
size_t count_unreadable_below(const std::vector<UnreadableEntry>& sorted,
                              std::string_view folder_path);

}  // namespace bramwex::app
