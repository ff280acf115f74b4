#include "core/tree/path_order.hpp"

#include <algorithm>
#include <utility>

#include "core/tree/records.hpp"

namespace bramwex::core {

namespace {

int sign_of(int order) {
    return (order > 0) - (order < 0);
}

// Orders "x" and "y", each followed by '/' when more is true and by the end of
// the path otherwise, as the bytes of the two paths from there on would
// order; nothing when the bytes so far are the same (equal folder names) or a
// name holds a '/', where what follows decides.
std::optional<int> step(std::string_view x, bool x_more, std::string_view y, bool y_more) {
    const size_t common = std::min(x.size(), y.size());
    const auto [at_x, at_y] = std::mismatch(x.begin(), x.begin() + common, y.begin());
    if (at_x != x.begin() + common) {
        return static_cast<unsigned char>(*at_x) < static_cast<unsigned char>(*at_y) ? -1 : 1;
    }
    if (x.size() == y.size()) {
        if (x_more == y_more) {
            return x_more ? std::nullopt : std::optional<int>(0);
        }
        return x_more ? 1 : -1;  // the path that ends is a prefix of the other
    }
    // One name is a prefix of the other: its path goes on with '/' or ends.
    const bool x_shorter = x.size() < y.size();
    const char next = x_shorter ? y[x.size()] : x[y.size()];
    if (!(x_shorter ? x_more : y_more)) {
        return x_shorter ? -1 : 1;
    }
    if (next == '/') {
        return std::nullopt;
    }
    const bool slash_first = '/' < static_cast<unsigned char>(next);
    return slash_first == x_shorter ? -1 : 1;
}

}  // namespace

PathOrder::Rung PathOrder::rung_of(uint32_t folder) const {
    return folder == 0 ? Rung{} : rungs_.at(folder);
}

PathOrder::Place PathOrder::place(uint32_t folder) {
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

PathOrder::Place PathOrder::ancestor_at(Place from, uint32_t depth) const {
    while (from.rung.depth > depth) {
        const Rung skip = rung_of(from.rung.skip);
        const uint32_t next = skip.depth >= depth ? from.rung.skip : from.rung.parent;
        from = {next, rung_of(next)};
    }
    return from;
}

std::string_view PathOrder::name_of(uint32_t folder) const {
    return links_(folder)->name;
}

int PathOrder::compare(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                       std::string_view name_b) {
    Place a = place(folder_a);
    Place b = place(folder_b);
    if (a.folder == b.folder) {
        return sign_of(name_a.compare(name_b));
    }
    // From here on a is the deeper (or as deep); flip restores the sides.
    const int flip = a.rung.depth < b.rung.depth ? -1 : 1;
    if (flip < 0) {
        std::swap(a, b);
        std::swap(name_a, name_b);
    }
    Place x = ancestor_at(a, b.rung.depth);
    std::optional<int> order;
    if (x.folder == b.folder) {
        // b's folder holds a's: past b's path, a's goes on with a folder.
        x = ancestor_at(a, b.rung.depth + 1);
        order = step(name_of(x.folder), true, name_b, false);
    } else {
        Place y = b;
        while (x.rung.parent != y.rung.parent) {
            // Equal depths have equal skip lengths; while the skips land on
            // different folders, the common ancestor lies above them.
            const bool skip = x.rung.skip != y.rung.skip;
            const uint32_t next_x = skip ? x.rung.skip : x.rung.parent;
            const uint32_t next_y = skip ? y.rung.skip : y.rung.parent;
            x = {next_x, rung_of(next_x)};
            y = {next_y, rung_of(next_y)};
        }
        order = step(name_of(x.folder), true, name_of(y.folder), true);
    }
    if (!order) {
        return flip * compare_paths(a.folder, name_a, b.folder, name_b);
    }
    return flip * *order;
}

std::string PathOrder::path_of(uint32_t folder) {
    std::vector<std::string_view> names;
    for (Place at = place(folder); at.folder != 0; at = {at.rung.parent, rung_of(at.rung.parent)}) {
        names.push_back(name_of(at.folder));
    }
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        path += *name;
        path += '/';
    }
    return path;
}

int PathOrder::compare_paths(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                             std::string_view name_b) {
    const std::string a = path_of(folder_a) + std::string(name_a);
    const std::string b = path_of(folder_b) + std::string(name_b);
    return sign_of(a.compare(b));
}

}  // namespace bramwex::core
