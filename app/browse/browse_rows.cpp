// Also Browser::load_rows, which builds and caches a folder's rows.
#include "app/browse/browse_rows.hpp"

#include <algorithm>
#include <numeric>

#include "app/browse/browser.hpp"
#include "app/browse/folder_files.hpp"

namespace bramwex::app {

void sort_rows(std::vector<BrowseRow>& rows, std::span<const std::string_view> names,
               bool by_change) {
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (by_change && rows[a].change != rows[b].change) {
            return rows[a].change > rows[b].change;
        }
        if (rows[a].size != rows[b].size) {
            return rows[a].size > rows[b].size;
        }
        return names[a] < names[b];
    });
    std::vector<BrowseRow> sorted;
    sorted.reserve(rows.size());
    for (const size_t k : order) {
        sorted.push_back(rows[k]);
    }
    rows = std::move(sorted);
}

namespace {

int64_t difference(uint64_t now, uint64_t before) {
    return static_cast<int64_t>(now - before);
}

}  // namespace

void Browser::load_rows(core::FolderId id) {
    if (!tree || row_cache.contains(id)) {
        return;
    }
    auto cached = file_cache.find(id);
    if (cached == file_cache.end()) {
        cached = file_cache.emplace(id, list_folder_files(*tree, id, reclaimable)).first;
    }
    const std::vector<ListedFile>& files = cached->second;
    const bool change_applies = baseline && state.is_complete();
    const std::string relative = tree->relative_path(id.index);
    const auto file_sizes = file_baseline.find(relative);
    const bool files_known = change_applies && file_sizes != file_baseline.end();

    std::vector<BrowseRow> built;
    std::vector<std::string_view> names;
    for (uint32_t k = 0; k < files.size(); ++k) {
        BrowseRow row;
        row.size = files[k].allocated;
        row.reclaimable = files[k].reclaimable;
        row.kind = RowKind::File;
        row.index = k;
        if (files_known) {
            const auto before = file_sizes->second.find(files[k].name);
            row.change =
                difference(row.size, before == file_sizes->second.end() ? 0 : before->second);
        }
        built.push_back(row);
        names.push_back(files[k].name);
    }
    const core::ChildIds children = tree->child_ids(id);
    for (size_t k = 0; k < children.size(); ++k) {
        const core::FolderId child = children.id(k);
        BrowseRow row;
        if (const auto label = core::label_folder(*tree, label_context, child)) {
            row.label_text = label->text;
            row.label_why = label->why;
            row.tier = static_cast<uint8_t>(label->tier);
        }
        row.size = tree->total_size(child);
        row.reclaimable = tree->reclaimable(child);
        row.kind = RowKind::Folder;
        row.index = child.index;
        row.generation = child.generation;
        if (change_applies) {
            row.change = difference(row.size, baseline->at(child.index));
        }
        built.push_back(row);
        names.push_back(tree->name(child));
    }
    if (change_applies && file_sizes == file_baseline.end()) {
        auto& sizes = file_baseline[relative];
        for (const ListedFile& file : files) {
            sizes.emplace(file.name, file.allocated);
        }
    }
    sort_rows(built, names, sort_by_change);
    row_cache.emplace(id, std::move(built));
}

}  // namespace bramwex::app
