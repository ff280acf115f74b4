// The largest files' entries of multi-link files. Such a file is listed
// once, under the byte-smallest of its names in the folder counting it, so
// its entry depends on the tree alone: it is decided once the counting is
// settled, never while listings race, and never moved afterwards.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/scan/link_holders.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// A link a listing met at a size that could still enter the largest files.
struct LargeLink {
    DeviceFile key;
    uint32_t folder = 0;
    uint64_t size = 0;
    std::string name;  // without the NUL
};

// Adds to the tree's largest files each file whose counting folder (the
// tree's folder index, settled) met it large enough. links holds every such
// sighting of a walk: a file sighted below the threshold in its counting
// folder cannot enter.
void list_sighted_links(Tree& tree, std::vector<LargeLink> links);

// Drops from files the entries that name a link of one of keys.
void drop_held_links(std::vector<FileRecord>& files, const LinkHolders& holders,
                     std::span<const DeviceFile> keys);

// Lists each of keys afresh from the links holders knows: its entries go,
// then it is offered to the tree's largest files at the size it counts.
void list_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys);

}  // namespace bramwex::core
