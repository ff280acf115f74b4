#include "core/live/rescan_compact.hpp"

#include <absl/container/flat_hash_map.h>

#include <algorithm>

namespace bramwex::core {

bool mostly_removed(const Tree& tree) {
    const auto removed =
        std::count_if(tree.folders.begin(), tree.folders.end(),
                      [](const FolderRecord& r) { return r.flags & kFlagRemoved; });
    return tree.folders.size() < 2 * static_cast<size_t>(removed);
}

Tree compact_tree(const Tree& tree, LinkHolders& link_holders) {
    const auto count = static_cast<uint32_t>(tree.folders.size());
    std::vector<uint32_t> renumbered(count, kNoParent);
    absl::flat_hash_map<uint32_t, uint32_t> name_ids;
    Tree out;
    out.names = std::make_shared<NameTable>();
    out.names->push(std::string(tree.name_at(0)));
    name_ids.emplace(0, 0);
    for (uint32_t i = 0; i < count; ++i) {
        const FolderRecord& record = tree.folders[i];
        if (record.flags & kFlagRemoved) {
            continue;
        }
        FolderRecord kept = record;
        auto [name, fresh] = name_ids.try_emplace(record.name_id, 0);
        if (fresh) {
            name->second =
                static_cast<uint32_t>(out.names->push(std::string(tree.name_at(record.name_id))));
        }
        kept.name_id = name->second;
        kept.parent = i == 0 ? kNoParent : renumbered[record.parent];
        renumbered[i] = static_cast<uint32_t>(out.folders.size());
        out.folders.push_back(kept);
        if (tree.has_reclaimable()) {
            out.reclaimable_sizes.push_back(tree.reclaimable_at(i));
        }
    }
    for (const FileRecord& file : tree.files) {
        if (file.folder < count && renumbered[file.folder] != kNoParent) {
            out.files.push_back({file.name, file.size, renumbered[file.folder]});
        }
    }
    for (const auto& [key, folder] : tree.folder_index) {
        if (folder < count && renumbered[folder] != kNoParent) {
            out.folder_index.emplace(key, renumbered[folder]);
        }
    }
    for (auto& [key, file] : link_holders.files) {
        std::erase_if(file.holders, [&](LinkHolder& holder) {
            const bool gone = holder.folder >= count || renumbered[holder.folder] == kNoParent;
            if (!gone) {
                holder.folder = renumbered[holder.folder];
            }
            return gone;
        });
    }
    absl::erase_if(link_holders.files,
                   [](const auto& entry) { return entry.second.holders.empty(); });
    out.event_id = tree.event_id;
    out.generation = next_generation();
    out.stopped = tree.stopped;
    link_holders.lone = link_holders.lone.tidied(renumbered);
    return out;
}

}  // namespace bramwex::core
