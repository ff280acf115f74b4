#include "core/live/rescan_paths.hpp"

#include <algorithm>

#include "core/base/fatal.hpp"

namespace bramwex::core {

std::optional<uint32_t> ChildNames::find(uint32_t folder, std::string_view name) {
    auto [at, fresh] = tables_.try_emplace(folder);
    Table& table = at->second;
    if (fresh) {
        const auto children = derived_.children_of(folder);
        table.reserve(children.size());
        for (const uint32_t child : children) {
            table.emplace(tree_.name_at(tree_.folders[child].name_id), child);
        }
    }
    const auto hit = table.find(name);
    if (hit == table.end()) {
        return std::nullopt;
    }
    return hit->second;
}

FoundFolder find_path(ChildNames& children, std::string_view relative_path) {
    FoundFolder at{0, true};
    while (!relative_path.empty()) {
        const size_t slash = relative_path.find('/');
        const std::string_view name = relative_path.substr(0, slash);
        relative_path =
            slash == std::string_view::npos ? std::string_view() : relative_path.substr(slash + 1);
        if (name.empty()) {
            continue;
        }
        const auto child = children.find(at.folder, name);
        if (!child) {
            at.found = false;
            return at;
        }
        at.folder = *child;
    }
    return at;
}

std::vector<std::string> folder_components(const Tree& tree, uint32_t index) {
    std::vector<std::string> names;
    for (uint32_t at = index; at != 0; at = tree.folders[at].parent) {
        const std::string_view name = tree.name_at(tree.folders[at].name_id);
        if (name.find('\0') != std::string_view::npos) {
            fatal("names hold no NUL");
        }
        names.emplace_back(name);
    }
    std::reverse(names.begin(), names.end());
    return names;
}

uint64_t files_size_of(const DerivedIndex& derived, uint32_t index) {
    uint64_t size = derived.totals[index];
    for (const uint32_t child : derived.children_of(index)) {
        size -= derived.totals[child];
    }
    return size;
}

}  // namespace bramwex::core
