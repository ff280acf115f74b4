// Dropping the records of vanished folders once they make up most of a
// followed tree: until then they stay as marked records so that every other
// folder keeps its index (and the ids handed out stay good).
#pragma once

#include "core/scan/link_holders.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// Whether removed folders are more than half of the tree.
bool mostly_removed(const Tree& tree);

// The tree without its removed folders: kept folders renumbered in index
// order, their names copied into a new table, every per-folder list and the
// hard-link table following the new numbering, and a new generation. The
// link holders are renumbered with it (their single-link files last, so
// that a failure before leaves them as they were).
Tree compact_tree(const Tree& tree, LinkHolders& link_holders);

}  // namespace bramwex::core
