// Folders by path: the component rules that path arguments are compared by,
// and the walk from the root that answers Tree.find.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::binding {

// A path split into its components: repeated "/" and "." components do not
// count, so "/a//./b/" is "/a/b". ".." stays a component of its own.
struct PathComponents {
    bool absolute = false;
    std::vector<std::string_view> names;
};
PathComponents components_of(std::string_view path);

// Equal as paths: byte for byte, or component by component.
bool same_path(std::string_view a, std::string_view b);

// The folder at path: an absolute path must lie at or below the tree's root
// path; any other path is taken relative to the root. "." is skipped; ".."
// and names no folder has give nothing. Walks the children lists.
std::optional<uint32_t> find_folder(const core::Tree& tree, std::string_view path);

}  // namespace bramwex::binding
