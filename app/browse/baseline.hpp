// The folder sizes taken at the browser's first complete scan, and how they
// follow the folders into every later tree, so rows can show what changed
// since the browser opened.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::app {

// Folder totals indexed by the folder index of the tree they were carried to.
using Baseline = std::vector<uint64_t>;

// Every folder's total size in tree; 0 for removed folders.
Baseline baseline_of(const core::Tree& tree);

// Moves baseline from old_tree's indices to new_tree's. Within one
// generation indices are stable and kept as they are; the folders past them,
// or all of them after a full rescan, are matched by name under a matched
// parent. Folders without a counterpart start at 0.
void carry_baseline(Baseline& baseline, const core::Tree& old_tree, const core::Tree& new_tree);

}  // namespace bramwex::app
