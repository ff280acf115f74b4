// A walk's listings race to count each multi-link file: whichever meets it
// first counts it for now, and snapshots may show that. Once the walk is
// over, each file met in more than one folder is moved to the folder a walk
// in name order meets first, so the finished tree depends on the disk alone.
// A tree without such files pays nothing.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/scan/link_holders.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// A multi-link file that a listing met after another listing counted it.
struct LinkMetAgain {
    DeviceFile key;
    uint32_t folder = kNoParent;
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    std::string name;  // without the NUL
};

// What the settling needs from a walk; written under its hard-link mutex.
struct LinkSightings {
    std::vector<LinkMetAgain> met_again;
    // The names of counted links that were candidates for the largest files.
    absl::flat_hash_map<DeviceFile, std::string> large_names;
};

// Moves each file met again to the first folder in name order among the one
// counting it and those that met it again. holders, when given, names the
// links of folders listed before the walk (a rescan's kept folders).
void settle_links_met_again(Tree& tree, LinkSightings sightings, const LinkHolders* holders);

// For each of keys, moves the file to the first folder in name order among
// the folders holding a link to it that are still in the tree.
void settle_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys);

}  // namespace bramwex::core
