#include "app/browse/baseline.hpp"

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
    Baseline baseline;
    baseline.sizes.assign(tree.folders.size(), 0);
    for (uint32_t i = 0; i < tree.folders.size(); ++i) {
        if (!removed(tree, i)) {
            baseline.sizes[i] = totals[i];
        }
    }
    return baseline;
}

void carry_baseline(Baseline& baseline, const core::Tree& old_tree, const core::Tree& new_tree) {
    const uint32_t count = new_tree.record_count();
    const uint32_t old_count = old_tree.record_count();
    const uint32_t keep =
        old_tree.generation == new_tree.generation ? std::min(old_count, count) : 0;
    std::vector<uint64_t> carried(count, 0);
    // lives_on[o]: old folder o has a counterpart in the new tree.
    std::vector<bool> lives_on(old_count, false);
    for (uint32_t i = 0; i < keep; ++i) {
        if (!removed(new_tree, i)) {
            carried[i] = baseline.at(i);
            lives_on[i] = true;
        }
    }

    // counterpart[i - keep]: the old folder matched to new folder i. known[i -
    // keep]: whether folder i's path had a total when the baseline was taken
    // (matched or found gone); when it had none, nor had any path below it.
    std::vector<std::optional<uint32_t>> counterpart(count - keep);
    std::vector<bool> known(count - keep, false);
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

    for (uint32_t i = keep; i < count; ++i) {
        if (removed(new_tree, i)) {
            continue;
        }
        std::optional<uint32_t> old;
        bool parent_known = true;
        if (i == 0) {
            old = 0;
        } else {
            const uint32_t parent = new_tree.folders[i].parent;
            std::optional<uint32_t> old_parent;
            if (parent < keep) {
                old_parent = parent;
            } else {
                old_parent = counterpart[parent - keep];
                parent_known = known[parent - keep];
            }
            if (old_parent && !removed(old_tree, *old_parent)) {
                old = old_child(*old_parent, new_tree.name({i, 0}));
            }
        }
        if (old) {
            counterpart[i - keep] = old;
            known[i - keep] = true;
            lives_on[*old] = true;
            carried[i] = baseline.at(*old);
        } else if (parent_known && !baseline.gone.empty()) {
            if (auto back = baseline.gone.extract(new_tree.relative_path(i))) {
                known[i - keep] = true;
                carried[i] = back.mapped();
            }
        }
    }

    for (uint32_t o = 0; o < old_count; ++o) {
        if (!lives_on[o] && !removed(old_tree, o) && baseline.at(o) != 0) {
            baseline.gone.insert_or_assign(old_tree.relative_path(o), baseline.at(o));
        }
    }
    baseline.sizes = std::move(carried);
}

}  // namespace bramwex::app
