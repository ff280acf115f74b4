#include "app/browse/summary_line.hpp"

#include <fmt/format.h>

#include "app/browse/browser.hpp"
#include "app/browse/cells.hpp"
#include "app/browse/row_cells.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

namespace {

using Group = std::vector<term::Span>;

std::optional<Group> note_group(const Browser& b, const StyleTable& styles, core::FolderId id,
                                size_t width) {
    const term::Style& warning = styles[Look::Warning];
    const bool narrow = width < 80;
    if (const auto error = b.tree->error_text(id)) {
        return Group{{"unreadable: " + *error, warning}};
    }
    if (b.tree->other_device(id)) {
        return Group{{narrow ? "other device" : "on another device, not scanned", warning}};
    }
    const size_t below = count_unreadable_below(b.unreadable, b.tree->absolute_path(id.index));
    if (below == 0) {
        return std::nullopt;
    }
    if (narrow) {
        return Group{{format_count(below) + " unreadable", warning}};
    }
    return Group{{below == 1 ? std::string("1 folder below unreadable")
                             : fmt::format("{} folders below unreadable", format_count(below)),
                  warning}};
}

size_t width_of(const std::vector<Group>& groups) {
    size_t sum = 3 * (groups.size() - 1);
    for (const auto& group : groups) {
        for (const auto& span : group) {
            sum += span.width();
        }
    }
    return sum;
}

}  // namespace

std::optional<term::Line> summary_line(const Browser& b, const StyleTable& styles, size_t width) {
    if (b.unreadable_shown || b.largest_shown || b.picks_shown || !b.tree) {
        return std::nullopt;
    }
    const auto entry = b.selected_entry();
    if (!entry) {
        return std::nullopt;
    }
    const BrowseRow& row = entry->row;
    const bool si = b.settings.si;
    const term::Span name = name_cell(row.tier, row.kind, entry->name, styles);
    std::vector<Group> groups;
    groups.push_back({name});
    Group sizes{{core::format_size(si, row.size), styles.for_size(si, row.size)}};
    if (row.is_folder()) {
        sizes.emplace_back("  own ", styles[Look::Quiet]);
        sizes.emplace_back(core::format_size(si, b.tree->own(row.folder())));
    }
    if (b.tree_reclaimable) {
        sizes.emplace_back("  deletes ", styles[Look::Quiet]);
        sizes.emplace_back(core::format_size(si, row.reclaimable));
    }
    groups.push_back(std::move(sizes));
    if (row.is_folder()) {
        if (auto note = note_group(b, styles, row.folder(), width)) {
            groups.push_back(std::move(*note));
        }
    }
    if (row.tier != core::kNoLabelTier) {
        const std::string text = width < 80 ? std::string(row.label_text)
                                            : fmt::format("{}: {}", row.label_text,
                                                          core::after_last_colon(row.label_why));
        groups.push_back({{text, styles[static_cast<Look>(9 + row.tier)]}});
    }
    while (groups.size() >= 3 && width_of(groups) > width) {
        groups.pop_back();
    }
    if (width_of(groups) > width) {
        groups[1].resize(1);
        const size_t used = groups[1][0].width() + 3;
        groups[0] = fit_to_width(name.text, name.style, width > used ? width - used : 0, styles);
    }
    return concat_spans(groups, styles);
}

}  // namespace bramwex::app
