// The folder sizes taken at the browser's first complete scan, and how they
// follow the folders into every later tree, so rows can show what changed
// since the browser opened.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::app {

struct Baseline {
    // Folder totals indexed by the folder index of the tree they were carried to.
    std::vector<uint64_t> sizes;
    // The totals of folders that had one and are gone from the tree, by path
    // relative to the root: a folder made again under that path takes its
    // total back, however many trees lie between. Zero totals are left out.
    absl::flat_hash_map<std::string, uint64_t> gone;

    uint64_t at(uint32_t index) const { return index < sizes.size() ? sizes[index] : 0; }
    friend bool operator==(const Baseline&, const Baseline&) = default;
};

// Every folder's total size in tree; 0 for removed folders.
Baseline baseline_of(const core::Tree& tree);

// Moves baseline from old_tree's indices to new_tree's. Within one
// generation indices are stable and kept as they are; the folders past them,
// or all of them after a full rescan, are matched by name under a matched
// parent, and failing that by path among the gone ones. Folders without a
// counterpart start at 0; old folders left without one join the gone ones.
void carry_baseline(Baseline& baseline, const core::Tree& old_tree, const core::Tree& new_tree);

}  // namespace bramwex::app
