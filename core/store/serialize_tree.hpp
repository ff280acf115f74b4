// Writes a Tree as one saved-scan file (layout in saved_scan_format.hpp),
// built whole in memory so it can go to disk in one sequence of writes.
#pragma once

#include <string_view>

#include "core/base/aligned_buffer.hpp"
#include "core/base/error.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The whole file, CRC trailer included. The header's flags carry
// has_reclaimable (bit 0) and the tree's stopped flag (bit 1); reclaimable
// sizes are stored, one per folder, whenever the tree has any. Over 4 GiB of
// folder names is fatal; a file whose self-relative offsets would not fit in
// 31 bits is an error (nothing is written).
Result<AlignedBuffer> serialize_tree(std::string_view root_path, const Tree& tree,
                                     bool has_reclaimable);

}  // namespace bramwex::core
