// Where a file with links in several folders counts: in the folder that a
// walk in name order meets first, so that the answer depends on the tree
// alone, not on which listing happened to finish first.
#pragma once

#include <cstdint>

#include "core/tree/folder_ladder.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The order in which a walk meets folders when it lists each folder's files
// as it reaches the folder, then its subfolders by byte-wise name order: a
// folder comes before everything below it, and two folders elsewhere compare
// by the names where their paths part (name by name, not as whole paths).
// Comparing climbs a folder ladder, so it costs a few steps per doubling of
// depth however deep the folders lie. The tree must outlive the order and
// keep its folders.
class WalkOrder {
  public:
    explicit WalkOrder(const Tree& tree) : ladder_(tree.folder_links()) {}

    // Whether the walk meets folder a before folder b; a folder is not before
    // itself.
    bool before(uint32_t a, uint32_t b);

  private:
    FolderLadder ladder_;
};

// Moves the counting of a multi-link file from one folder to another: own and
// reclaimable bytes, and the hard-link table. The tree's DerivedIndex must not
// have been computed yet.
void move_counted_link(Tree& tree, const DeviceFile& key, uint32_t from, uint32_t to,
                       uint64_t allocated, uint64_t reclaimable);

}  // namespace bramwex::core
