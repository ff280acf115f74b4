#include "core/scan/link_settle.hpp"

#include <string_view>

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

// The name of the link a folder counts: the first its listing met.
std::string_view held_name(const LinkedFileHolders* file, uint32_t folder) {
    if (file == nullptr) {
        return {};
    }
    for (const LinkHolder& holder : file->holders) {
        if (holder.folder == folder) {
            return holder.name;
        }
    }
    return {};
}

}  // namespace

void settle_links_met_again(Tree& tree, LinkSightings sightings, const LinkHolders* holders) {
    if (sightings.met_again.empty()) {
        return;
    }
    CountedLinkMover mover(tree);
    WalkOrder order(tree);
    // The result is the first folder in name order whatever order the
    // sightings arrived in; of two links in one folder, the first listed
    // names the file, as when that folder counted it from the start.
    for (LinkMetAgain& again : sightings.met_again) {
        const auto counted = tree.folder_index.find(again.key);
        if (counted == tree.folder_index.end() || !counts_here(tree, counted->second) ||
            !counts_here(tree, again.folder) || !order.before(again.folder, counted->second)) {
            continue;
        }
        const uint32_t from = counted->second;
        const LinkedFileHolders* held = held_file(holders, again.key);
        auto [name, fresh] = sightings.large_names.try_emplace(again.key);
        if (fresh) {
            name->second = std::string(held_name(held, from));
        }
        // What moves is what the counting folder counts: a link met at
        // another size marks the file resized, and the folder counting it
        // then is listed again for its size now.
        mover.move(again.key, {from, name->second}, {again.folder, again.name},
                   held != nullptr ? held->allocated : again.allocated,
                   held != nullptr ? held->reclaimable : again.reclaimable);
        name->second = std::move(again.name);
    }
}

void settle_held_links(Tree& tree, const LinkHolders& holders, std::span<const DeviceFile> keys) {
    CountedLinkMover mover(tree);
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
        const uint32_t from = counted->second;
        if (first == nullptr || first->folder == from) {
            continue;
        }
        mover.move(key, {from, held_name(&file->second, from)}, {first->folder, first->name},
                   file->second.allocated, file->second.reclaimable);
    }
}

}  // namespace bramwex::core
