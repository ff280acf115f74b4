// Where a file with links in several folders counts: in the folder that a
// walk in name order meets first, so that the answer depends on the tree
// alone, not on which listing happened to finish first.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

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

// One folder's link to a multi-link file and the name the link has there
// (empty when the largest files cannot hold it).
struct LinkInFolder {
    uint32_t folder = kNoParent;
    std::string_view name;
};

// Moves the counting of multi-link files from one folder to another: own
// and reclaimable bytes, the hard-link table, and the file's entry among the
// largest files, which then names the new folder's link. The tree's
// DerivedIndex must not have been computed yet.
class CountedLinkMover {
  public:
    explicit CountedLinkMover(Tree& tree) : tree_(tree) {}
    void move(const DeviceFile& key, LinkInFolder from, LinkInFolder to, uint64_t allocated,
              uint64_t reclaimable);

  private:
    Tree& tree_;
    // (folder, name) -> index in the tree's files, made on the first move
    // that names a file.
    absl::flat_hash_map<std::pair<uint32_t, std::string>, size_t> files_;
};

}  // namespace bramwex::core
