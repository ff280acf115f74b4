#include "core/tree/link_order.hpp"

#include <algorithm>
#include <vector>

namespace bramwex::core {

namespace {

// The folders from the root down to folder, the root first.
void path_down_to(const Tree& tree, uint32_t folder, std::vector<uint32_t>& out) {
    out.clear();
    for (uint32_t at = folder; at != kNoParent; at = tree.folders[at].parent) {
        out.push_back(at);
    }
    std::reverse(out.begin(), out.end());
}

uint64_t less_or_zero(uint64_t value, uint64_t minus) {
    return value > minus ? value - minus : 0;
}

}  // namespace

bool met_before(const Tree& tree, uint32_t a, uint32_t b) {
    if (a == b) {
        return false;
    }
    thread_local std::vector<uint32_t> above_a, above_b;
    path_down_to(tree, a, above_a);
    path_down_to(tree, b, above_b);
    const size_t common = std::min(above_a.size(), above_b.size());
    for (size_t k = 0; k < common; ++k) {
        if (above_a[k] != above_b[k]) {
            // Names compare as unsigned bytes, a prefix first.
            return tree.name_at(tree.folders[above_a[k]].name_id) <
                   tree.name_at(tree.folders[above_b[k]].name_id);
        }
    }
    return above_a.size() < above_b.size();  // a holds b
}

void CountedLinkMover::move(const DeviceFile& key, LinkInFolder from, LinkInFolder to,
                            uint64_t allocated, uint64_t reclaimable) {
    tree_.folder_index[key] = to.folder;
    // A size that changed between two listings must not wrap the old one.
    FolderRecord& old_record = tree_.folders[from.folder];
    old_record.own = less_or_zero(old_record.own, allocated);
    tree_.folders[to.folder].own += allocated;
    if (!tree_.reclaimable_sizes.empty()) {
        uint64_t& old_reclaimable = tree_.reclaimable_sizes[from.folder];
        old_reclaimable = less_or_zero(old_reclaimable, reclaimable);
        tree_.reclaimable_sizes[to.folder] += reclaimable;
    }
    if (from.name.empty() || tree_.files.empty()) {
        return;
    }
    if (files_.empty()) {
        for (size_t k = 0; k < tree_.files.size(); ++k) {
            files_.emplace(std::pair{tree_.files[k].folder, tree_.files[k].name}, k);
        }
    }
    const auto found = files_.find(std::pair{from.folder, std::string(from.name)});
    if (found == files_.end()) {
        return;  // not among the largest files
    }
    const size_t k = found->second;
    files_.erase(found);
    tree_.files[k].folder = to.folder;
    tree_.files[k].name = std::string(to.name);
    files_.emplace(std::pair{to.folder, tree_.files[k].name}, k);
}

}  // namespace bramwex::core
