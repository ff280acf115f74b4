#include "app/browse/unreadable.hpp"

#include <algorithm>

namespace bramwex::app {

std::vector<UnreadableEntry> unreadable_entries(const core::Tree& tree) {
    std::vector<UnreadableEntry> entries;
    for (uint32_t i = 0; i < tree.record_count(); ++i) {
        const core::FolderRecord& record = tree.folders[i];
        if ((record.flags & core::kFlagRemoved) == 0 && core::error_text_of_record(record)) {
            entries.push_back({tree.absolute_path(i), {i, tree.generation}});
        }
    }
    return entries;
}

std::vector<UnreadableEntry> sorted_unreadable(const core::Tree& tree) {
    std::vector<UnreadableEntry> entries = unreadable_entries(tree);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path != b.path ? a.path < b.path : a.id.index < b.id.index;
    });
    return entries;
}

size_t count_unreadable_below(const std::vector<UnreadableEntry>& sorted,
                              std::string_view folder_path) {
    // A root of "/" already ends in the separator; doubling it would match nothing.
    std::string prefix(folder_path);
    if (!prefix.ends_with('/')) {
        prefix += '/';
    }
    std::string past = prefix;
    past.back() = '/' + 1;
    auto below = [](const UnreadableEntry& entry, const std::string& key) {
        return entry.path < key;
    };
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), prefix, below);
    const auto last = std::lower_bound(first, sorted.end(), past, below);
    return static_cast<size_t>(last - first);
}

}  // namespace bramwex::app
