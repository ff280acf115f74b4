#include "core/live/rescan_changes.hpp"

#include <algorithm>

#include "core/live/rescan_paths.hpp"

namespace bramwex::core {

namespace {

int64_t difference(uint64_t after, uint64_t before) {
    return static_cast<int64_t>(after - before);
}

}  // namespace

std::vector<FolderChange> gather_changes(const Tree& old, const Tree& updated) {
    const DerivedIndex& before = old.compute_index();
    const auto old_count = static_cast<uint32_t>(old.folders.size());
    const auto new_count = static_cast<uint32_t>(updated.folders.size());
    auto removed = [](const Tree& tree, uint32_t index) {
        return (tree.folders[index].flags & kFlagRemoved) != 0;
    };
    std::vector<FolderChange> changes;

    for (uint32_t i = 0; i < old_count; ++i) {
        if (removed(old, i)) {
            continue;
        }
        if (!removed(updated, i)) {
            const uint64_t was = files_size_of(before, i);
            if (updated.folders[i].own != was) {
                changes.push_back(
                    {updated.absolute_path(i), difference(updated.folders[i].own, was)});
            }
        } else if (!removed(updated, updated.folders[i].parent)) {
            changes.push_back({updated.absolute_path(i), -static_cast<int64_t>(before.totals[i])});
        }
    }

    // New subtrees hang below old folders; their totals are summed bottom-up.
    std::vector<uint64_t> totals(new_count - old_count, 0);
    for (uint32_t i = new_count; i-- > old_count;) {
        totals[i - old_count] += updated.folders[i].own;
        const uint32_t parent = updated.folders[i].parent;
        if (parent >= old_count) {
            totals[parent - old_count] += totals[i - old_count];
        }
    }
    for (uint32_t i = old_count; i < new_count; ++i) {
        if (updated.folders[i].parent < old_count) {
            changes.push_back(
                {updated.absolute_path(i), static_cast<int64_t>(totals[i - old_count])});
        }
    }
    return changes;
}

bool path_less(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t k = 0; k < common; ++k) {
        if (a[k] == b[k]) {
            continue;
        }
        // A separator ends a name, and a shorter name sorts first.
        if (a[k] == '/') {
            return true;
        }
        if (b[k] == '/') {
            return false;
        }
        return static_cast<unsigned char>(a[k]) < static_cast<unsigned char>(b[k]);
    }
    return a.size() < b.size();
}

void sort_and_merge_changes(std::vector<FolderChange>& changes) {
    if (changes.size() > 1) {
        std::stable_sort(changes.begin(), changes.end(),
                         [](const FolderChange& x, const FolderChange& y) {
                             if (x.path != y.path) {
                                 return path_less(x.path, y.path);
                             }
                             return x.delta < y.delta;
                         });
    }
    std::vector<FolderChange> merged;
    merged.reserve(changes.size());
    for (FolderChange& change : changes) {
        if (!merged.empty() && merged.back().path == change.path) {
            merged.back().delta += change.delta;
        } else {
            merged.push_back(std::move(change));
        }
    }
    std::erase_if(merged, [](const FolderChange& change) { return change.delta == 0; });
    changes = std::move(merged);
}

}  // namespace bramwex::core
