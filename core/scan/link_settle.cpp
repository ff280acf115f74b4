#include "core/scan/link_settle.hpp"

#include "core/tree/link_order.hpp"

namespace bramwex::core {

namespace {

bool counts_here(const Tree& tree, uint32_t folder) {
    return folder < tree.folders.size() && (tree.folders[folder].flags & kFlagRemoved) == 0;
}

const LinkedFileHolders* held_file(const LinkHolders* holders, const DeviceFile& key) {
    if (holders == nullptr) {
        return nullptr;
    }
    const auto file = holders->files.find(key);
    return file == holders->files.end() ? nullptr : &file->second;
}

}  // namespace

void settle_links_met_again(Tree& tree, std::span<const LinkMetAgain> met_again,
                            const LinkHolders* holders) {
    if (met_again.empty()) {
        return;
    }
    // The result is the first folder in name order whatever order the
    // sightings arrived in.
    WalkOrder order(tree);
    for (const LinkMetAgain& again : met_again) {
        const auto counted = tree.folder_index.find(again.key);
        if (counted == tree.folder_index.end() || !counts_here(tree, counted->second) ||
            !counts_here(tree, again.folder) || !order.before(again.folder, counted->second)) {
            continue;
        }
        // What moves is what the counting folder counts: a link met at
        // another size marks the file resized, and the folder counting it
        // then is listed again for its size now.
        const LinkedFileHolders* held = held_file(holders, again.key);
        move_counted_link(tree, again.key, counted->second, again.folder,
                          held != nullptr ? held->allocated : again.allocated,
                          held != nullptr ? held->reclaimable : again.reclaimable);
    }
}

void settle_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys) {
    if (keys.empty()) {
        return;
    }
    WalkOrder order(tree);
    for (const DeviceFile& key : keys) {
        const auto file = holders.files.find(key);
        const auto counted = tree.folder_index.find(key);
        if (file == holders.files.end() || counted == tree.folder_index.end() ||
            !counts_here(tree, counted->second)) {
            continue;
        }
        const LinkHolder* first = nullptr;
        for (const LinkHolder& holder : file->second.holders) {
            if (counts_here(tree, holder.folder) &&
                (first == nullptr || order.before(holder.folder, first->folder))) {
                first = &holder;
            }
        }
        if (first != nullptr && first->folder != counted->second) {
            move_counted_link(tree, key, counted->second, first->folder, file->second.allocated,
                              file->second.reclaimable);
        }
    }
}

}  // namespace bramwex::core
