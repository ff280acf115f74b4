// Finding folders of a followed tree again: by a path relative to the root
// (what change notices carry), and from a folder back to the names that
// reopen it below the root. Used by one rescan on one thread.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree/derived_index.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The children of a tree's folders by name (exact bytes), each folder's table
// built the first time it is asked for and kept for the life of this object.
// Removed folders are never found.
class ChildNames {
  public:
    ChildNames(const Tree& tree, const DerivedIndex& derived) : tree_(tree), derived_(derived) {}

    std::optional<uint32_t> find(uint32_t folder, std::string_view name);

  private:
    using Table = absl::flat_hash_map<std::string_view, uint32_t>;
    const Tree& tree_;
    const DerivedIndex& derived_;
    absl::flat_hash_map<uint32_t, Table> tables_;
};

struct FoundFolder {
    uint32_t folder = 0;  // the deepest folder reached
    bool found = false;   // every component of the path named a folder
};

// Walks from folder 0 one component at a time ("a/b/c"; empty components are
// skipped). An empty path gives (0, found).
FoundFolder find_path(ChildNames& children, std::string_view relative_path);

// The names from the root's child down to the folder (none for folder 0),
// ready to be opened one below the other. Names never hold a NUL byte; one
// that does is a broken tree (fatal).
std::vector<std::string> folder_components(const Tree& tree, uint32_t index);

// Bytes of the files directly in a folder: its total less its children's.
uint64_t files_size_of(const DerivedIndex& derived, uint32_t index);

}  // namespace bramwex::core
