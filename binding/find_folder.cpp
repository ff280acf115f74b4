#include "binding/find_folder.hpp"

#include <algorithm>

namespace bramwex::binding {

PathComponents components_of(std::string_view path) {
    PathComponents out;
    out.absolute = !path.empty() && path.front() == '/';
    size_t at = 0;
    while (at < path.size()) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string_view name = path.substr(at, end - at);
        if (!name.empty() && name != ".") {
            out.names.push_back(name);
        }
        at = end + 1;
    }
    return out;
}

bool same_path(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    const PathComponents left = components_of(a);
    const PathComponents right = components_of(b);
    return left.absolute == right.absolute && left.names == right.names;
}

std::optional<uint32_t> find_folder(const core::Tree& tree, std::string_view path) {
    const PathComponents wanted = components_of(path);
    std::span<const std::string_view> rest(wanted.names);
    if (wanted.absolute) {
        const PathComponents root = components_of(tree.name(core::FolderId{0, 0}));
        if (!root.absolute || root.names.size() > rest.size() ||
            !std::equal(root.names.begin(), root.names.end(), rest.begin())) {
            return std::nullopt;
        }
        rest = rest.subspan(root.names.size());
    }
    uint32_t current = 0;
    for (const std::string_view name : rest) {
        if (name == "..") {
            return std::nullopt;
        }
        const core::ChildIds children = tree.child_ids(core::FolderId{current, 0});
        const auto found =
            std::find_if(children.indices.begin(), children.indices.end(), [&](uint32_t child) {
                return tree.name(core::FolderId{child, 0}) == name;
            });
        if (found == children.indices.end()) {
            return std::nullopt;
        }
        current = *found;
    }
    return current;
}

}  // namespace bramwex::binding
