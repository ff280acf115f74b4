// Every folder that holds a link of each multi-link file. A tree counts such
// a file once, in one of these folders (the tree's folder index says which);
// the others are kept so that, when that folder loses its link, a rescan can
// count the file where a link is still held without listing every folder.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::core {

struct LinkHolder {
    uint32_t folder = 0;
    std::string name;  // the link's name in that folder, without the NUL
};

struct LinkedFileHolders {
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    std::vector<LinkHolder> holders;  // in no particular order
};

using LinkHolders = absl::flat_hash_map<DeviceFile, LinkedFileHolders>;

}  // namespace bramwex::core
