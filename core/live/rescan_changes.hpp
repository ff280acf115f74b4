// The change list of a rescan: per-folder byte deltas between the tree
// before and after, in path order, one entry per path.
#pragma once

#include <string_view>
#include <vector>

#include "core/live/rescan.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The deltas between old (its DerivedIndex computed) and updated, which
// keeps old's indices and appends new folders after them: each folder whose
// own bytes changed; the top of each vanished subtree, by minus its old
// total; the top of each new subtree, by plus its total. Unsorted.
std::vector<FolderChange> gather_changes(const Tree& old, const Tree& updated);

// Paths compared name by name, so "a/b" comes before "a-b" and "a.b".
bool path_less(std::string_view a, std::string_view b);

// Sorts by path (then delta), merges each run of one path into its first
// entry by summing the deltas, and drops the entries that sum to 0.
void sort_and_merge_changes(std::vector<FolderChange>& changes);

}  // namespace bramwex::core
