#include "core/scan/linked_largest.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <string_view>
#include <utility>

#include "core/tree/largest_files.hpp"

namespace bramwex::core {

namespace {

bool counts_here(const Tree& tree, uint32_t folder) {
    return folder < tree.folders.size() && (tree.folders[folder].flags & kFlagRemoved) == 0;
}

}  // namespace

void list_sighted_links(Tree& tree, std::vector<LargeLink> links) {
    if (links.empty()) {
        return;
    }
    // Of each file, its sighting in the counting folder with the smallest name.
    absl::flat_hash_map<DeviceFile, size_t> named;
    for (size_t k = 0; k < links.size(); ++k) {
        const LargeLink& link = links[k];
        const auto counted = tree.folder_index.find(link.key);
        if (counted == tree.folder_index.end() || counted->second != link.folder) {
            continue;
        }
        const auto [at, fresh] = named.try_emplace(link.key, k);
        if (!fresh && link.name < links[at->second].name) {
            at->second = k;
        }
    }
    std::vector<FileRecord> more;
    more.reserve(named.size());
    for (const auto& [key, k] : named) {
        more.push_back({std::move(links[k].name), links[k].size, links[k].folder});
    }
    tree.files = keep_largest(std::move(tree.files), std::move(more), tree.folder_links());
}

void drop_held_links(std::vector<FileRecord>& files, const LinkHolders& holders,
                     std::span<const DeviceFile> keys) {
    if (files.empty()) {
        return;
    }
    absl::flat_hash_set<std::pair<uint32_t, std::string_view>> links;
    for (const DeviceFile& key : keys) {
        if (const auto file = holders.files.find(key); file != holders.files.end()) {
            for (const LinkHolder& holder : file->second.holders) {
                links.emplace(holder.folder, holder.name);
            }
        }
    }
    if (!links.empty()) {
        std::erase_if(files, [&](const FileRecord& file) {
            return links.contains(std::pair<uint32_t, std::string_view>(file.folder, file.name));
        });
    }
}

void list_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys) {
    drop_held_links(tree.files, holders, keys);
    absl::flat_hash_set<DeviceFile> offered;
    std::vector<FileRecord> more;
    for (const DeviceFile& key : keys) {
        const auto file = holders.files.find(key);
        const auto counted = tree.folder_index.find(key);
        if (!offered.insert(key).second || file == holders.files.end() ||
            counted == tree.folder_index.end() || !counts_here(tree, counted->second) ||
            file->second.allocated == 0) {
            continue;
        }
        const LinkHolder* named = nullptr;
        for (const LinkHolder& holder : file->second.holders) {
            if (holder.folder == counted->second &&
                (named == nullptr || holder.name < named->name)) {
                named = &holder;
            }
        }
        if (named != nullptr) {
            more.push_back({named->name, file->second.allocated, named->folder});
        }
    }
    tree.files = keep_largest(std::move(tree.files), std::move(more), tree.folder_links());
}

}  // namespace bramwex::core
