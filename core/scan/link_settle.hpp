// A walk's listings race to count each multi-link file: whichever meets it
// first counts it for now, and snapshots may show that. Once the walk is
// over, each file met in more than one folder is moved to the folder a walk
// in name order meets first, so the finished tree depends on the disk alone.
// A tree without such files pays nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/scan/link_holders.hpp"
#include "core/scan/linked_largest.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// A multi-link file that a listing met after another listing counted it.
struct LinkMetAgain {
    DeviceFile key;
    uint32_t folder = kNoParent;
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
};

// What the settling and the largest files need from a walk; written under
// its hard-link mutex.
struct LinkSightings {
    std::vector<LinkMetAgain> met_again;
    std::vector<LargeLink> large;  // every link met above the largest files' threshold
};

// Moves each file met again to the first folder in name order among the one
// counting it and those that met it again. holders, when given, knows what
// the counting folder counts (a rescan's kept folders).
void settle_links_met_again(Tree& tree, std::span<const LinkMetAgain> met_again,
                            const LinkHolders* holders);

// For each of keys, moves the file to the first folder in name order among
// the folders holding a link to it that are still in the tree.
void settle_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys);

}  // namespace bramwex::core
