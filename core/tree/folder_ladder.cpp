#include "core/tree/folder_ladder.hpp"

#include "core/tree/records.hpp"

namespace bramwex::core {

FolderLadder::Rung FolderLadder::rung_of(uint32_t folder) const {
    return folder == 0 ? Rung{} : rungs_.at(folder);
}

FolderLadder::Place FolderLadder::place(uint32_t folder) {
    if (folder == 0 || !links_) {
        return {};
    }
    if (const auto found = rungs_.find(folder); found != rungs_.end()) {
        return {folder, found->second};
    }
    climb_.clear();
    for (uint32_t at = folder; at != 0 && !rungs_.contains(at);) {
        const std::optional<FolderLink> link = links_(at);
        const uint32_t parent = link && link->parent != kNoParent ? link->parent : 0;
        if (!link || parent >= at) {
            return {};
        }
        climb_.emplace_back(at, parent);
        at = parent;
    }
    for (auto it = climb_.rbegin(); it != climb_.rend(); ++it) {
        const auto [at, parent] = *it;
        const Rung up = rung_of(parent);
        const Rung skip = rung_of(up.skip);
        // Skips of lengths 1, 1, 3, 1, 1, 3, 7, ...: two equal skips in a row
        // are joined into one, so any ancestor is a logarithmic climb away.
        const bool join = up.depth - skip.depth == skip.depth - rung_of(skip.skip).depth;
        rungs_.emplace(at, Rung{parent, join ? skip.skip : parent, up.depth + 1});
    }
    return {folder, rungs_.at(folder)};
}

FolderLadder::Place FolderLadder::ancestor_at(Place from, uint32_t depth) const {
    while (from.rung.depth > depth) {
        const Rung skip = rung_of(from.rung.skip);
        const uint32_t next = skip.depth >= depth ? from.rung.skip : from.rung.parent;
        from = {next, rung_of(next)};
    }
    return from;
}

Parting FolderLadder::part(uint32_t a, uint32_t b) {
    Place x = place(a);
    Place y = place(b);
    if (x.folder == y.folder) {
        return {};
    }
    // From here on x is the deeper (or as deep); swapped restores the sides.
    const bool swapped = x.rung.depth < y.rung.depth;
    if (swapped) {
        std::swap(x, y);
    }
    const Place deep = x;
    x = ancestor_at(x, y.rung.depth);
    Parting parting;
    if (x.folder == y.folder) {
        // y holds the deeper one: past y, its path goes on with a folder.
        parting.a = ancestor_at(deep, y.rung.depth + 1).folder;
    } else {
        while (x.rung.parent != y.rung.parent) {
            // Equal depths have equal skip lengths; while the skips land on
            // different folders, the common ancestor lies above them.
            const bool skip = x.rung.skip != y.rung.skip;
            const uint32_t next_x = skip ? x.rung.skip : x.rung.parent;
            const uint32_t next_y = skip ? y.rung.skip : y.rung.parent;
            x = {next_x, rung_of(next_x)};
            y = {next_y, rung_of(next_y)};
        }
        parting = {x.folder, y.folder};
    }
    if (swapped) {
        std::swap(parting.a, parting.b);
    }
    return parting;
}

std::vector<uint32_t> FolderLadder::chain(uint32_t folder) {
    std::vector<uint32_t> folders;
    for (Place at = place(folder); at.folder != 0; at = {at.rung.parent, rung_of(at.rung.parent)}) {
        folders.push_back(at.folder);
    }
    return folders;
}

}  // namespace bramwex::core
