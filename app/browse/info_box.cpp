#include "app/browse/info_box.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "app/browse/cells.hpp"
#include "app/browse/row_cells.hpp"
#include "app/browse/unreadable.hpp"
#include "core/base/utf8.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

namespace {

uint64_t folders_below(const core::Tree& tree, core::FolderId id) {
    uint64_t count = 0;
    std::vector<core::FolderId> pending = {id};
    while (!pending.empty()) {
        const core::ChildIds children = tree.child_ids(pending.back());
        pending.pop_back();
        for (size_t k = 0; k < children.size(); ++k) {
            pending.push_back(children.id(k));
        }
        count += children.size();
    }
    return count;
}

}  // namespace

std::string titled_rule(size_t width, std::string_view title) {
    const std::string t = " " + std::string(title) + " ";
    const size_t w = term::display_width(t);
    const size_t rest = width > w + 2 ? width - (w + 2) : 0;
    const size_t left = rest / 2;
    std::string line = "+";
    line.append(left, '-');
    line += t;
    line.append(rest - left, '-');
    return line + "+";
}

std::vector<std::pair<std::string, std::string>> info_rows(
    const Browser& b, const SelectedEntry& entry, std::chrono::system_clock::time_point now) {
    const bool si = b.settings.si;
    const BrowseRow& row = entry.row;
    std::vector<std::pair<std::string, std::string>> rows;
    std::string path = b.root;
    for (const std::string& name : b.path) {
        path = join_root_path(path, name);
    }
    rows.emplace_back("path", core::to_utf8_lossy(join_root_path(path, entry.name)));
    std::string size = core::format_size(si, row.size);
    if (row.is_folder()) {
        size += " (own " + core::format_size(si, b.tree->own(row.folder())) + ")";
    }
    rows.emplace_back("size", size);
    if (b.tree_reclaimable) {
        rows.emplace_back("deletes", core::format_size(si, row.reclaimable));
    }
    if (row.is_folder()) {
        const core::FolderId id = row.folder();
        rows.emplace_back("folders", format_count(folders_below(*b.tree, id)) + " below");
        if (const auto error = b.tree->error_text(id)) {
            rows.emplace_back("unreadable", *error);
        }
        const size_t partial =
            count_unreadable_below(b.unreadable, b.tree->absolute_path(id.index));
        if (partial != 0) {
            rows.emplace_back("partial", format_count(partial) + " folders below unreadable");
        }
    }
    if (row.tier != core::kNoLabelTier) {
        rows.emplace_back("label", fmt::format("{}: {}", row.label_text, row.label_why));
    }
    if (b.baseline) {
        rows.emplace_back("change", fmt::format("{} since opened {} ago",
                                                row.change == 0 ? std::string("none")
                                                                : signed_size(si, row.change),
                                                format_age(age_seconds(now, b.baseline_time))));
    }
    return rows;
}

void draw_info_box(const Browser& b, term::Buffer& frame, const term::Rect& area,
                   const StyleTable& styles, std::chrono::system_clock::time_point now) {
    const auto entry = b.selected_entry();
    if (!entry) {
        return;
    }
    const auto rows = info_rows(b, *entry, now);
    const size_t bw = std::min<size_t>(area.width > 4 ? area.width - 4u : 0, 72);
    const size_t bh = std::min<size_t>(rows.size() + 2, area.height);
    if (bw == 0 || bh == 0) {
        return;
    }
    const auto x0 = static_cast<uint16_t>(area.x + (area.width - bw) / 2);
    const auto y0 = static_cast<uint16_t>(area.y + (area.height - bh) / 2);
    const term::Style reset{
        term::Color::reset(), term::Color::reset(), {}, term::Modifiers{0xFFFF}};
    frame.set_style({x0, y0, static_cast<uint16_t>(bw), static_cast<uint16_t>(bh)}, reset);
    frame.set_stringn(x0, y0, titled_rule(bw, core::to_utf8_lossy(entry->name)), bw, {});
    const size_t value_width = bw > 15 ? bw - 15 : 0;
    for (size_t i = 0; i + 2 < bh && i < rows.size(); ++i) {
        const auto y = static_cast<uint16_t>(y0 + 1 + i);
        frame.set_stringn(x0, y, std::string(bw, ' '), bw, {});
        std::vector<term::Span> spans = {
            term::Span("| "),
            term::Span(fmt::format("{:<11}", rows[i].first), styles[Look::Quiet])};
        for (auto& span : fit_to_width(rows[i].second, {}, value_width, styles)) {
            spans.push_back(std::move(span));
        }
        frame.set_line(x0, y, term::Line(std::move(spans)), bw - 1);
        frame.set_string(static_cast<uint16_t>(x0 + bw - 1), y, "|", {});
    }
    frame.set_stringn(x0, static_cast<uint16_t>(y0 + bh - 1), titled_rule(bw, "i or esc close"), bw,
                      {});
}

}  // namespace bramwex::app
