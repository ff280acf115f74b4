#include "app/browse/baseline.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>
#include <optional>
#include <string_view>

namespace bramwex::app {

namespace {

bool removed(const core::Tree& tree, uint32_t index) {
    return (tree.folders[index].flags & core::kFlagRemoved) != 0;
}

using ByName = absl::flat_hash_map<std::string_view, uint32_t>;

}  // namespace

Baseline baseline_of(const core::Tree& tree) {
    const auto& totals = tree.compute_index().totals;
    Baseline baseline(tree.folders.size(), 0);
    for (uint32_t i = 0; i < tree.folders.size(); ++i) {
        if (!removed(tree, i)) {
            baseline[i] = totals[i];
        }
    }
    return baseline;
}

void carry_baseline(Baseline& baseline, const core::Tree& old_tree, const core::Tree& new_tree) {
    const uint32_t count = new_tree.record_count();
    const size_t keep =
        old_tree.generation == new_tree.generation ? old_tree.folders.size() : size_t{0};
    Baseline carried = baseline;
    std::fill(carried.begin() + static_cast<ptrdiff_t>(std::min(keep, carried.size())),
              carried.end(), 0);
    carried.resize(count, 0);

    // counterpart[i]: the old folder matched to new folder i, for i >= keep.
    std::vector<std::optional<uint32_t>> counterpart(count);
    absl::flat_hash_map<uint32_t, ByName> children_by_name;
    auto old_child = [&](uint32_t old_parent, std::string_view name) -> std::optional<uint32_t> {
        auto [it, fresh] = children_by_name.try_emplace(old_parent);
        if (fresh) {
            const core::ChildIds children = old_tree.child_ids({old_parent, 0});
            for (const uint32_t child : children.indices) {
                it->second.try_emplace(old_tree.name({child, 0}), child);
            }
        }
        const auto found = it->second.find(name);
        return found == it->second.end() ? std::nullopt : std::optional(found->second);
    };

    for (size_t i = keep; i < count; ++i) {
        if (removed(new_tree, static_cast<uint32_t>(i))) {
            continue;
        }
        std::optional<uint32_t> old;
        if (i == 0) {
            old = 0;
        } else {
            const uint32_t parent = new_tree.folders[i].parent;
            const std::optional<uint32_t> old_parent =
                parent < keep ? std::optional(parent) : counterpart[parent];
            if (old_parent && !removed(old_tree, *old_parent)) {
                old = old_child(*old_parent, new_tree.name({static_cast<uint32_t>(i), 0}));
            }
        }
        if (old) {
            counterpart[i] = old;
            carried[i] = *old < baseline.size() ? baseline[*old] : 0;
        }
    }
    baseline = std::move(carried);
}

}  // namespace bramwex::app
