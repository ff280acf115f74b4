#include "app/browse/draw_browser.hpp"

#include <algorithm>
#include <array>

#include "app/browse/bottom_line.hpp"
#include "app/browse/columns.hpp"
#include "app/browse/info_box.hpp"
#include "app/browse/list_views.hpp"
#include "app/browse/picks_view.hpp"
#include "app/browse/row_cells.hpp"
#include "app/browse/summary_line.hpp"
#include "app/browse/title_line.hpp"
#include "app/term/layout.hpp"

namespace bramwex::app {

namespace {

std::string pick_path(const Browser& b, core::FolderId folder, std::string_view name) {
    std::string path = b.tree->relative_path(folder.index);
    if (!path.empty()) {
        path += '/';
    }
    path += name;
    return path;
}

void draw_column(const Browser& b, term::Buffer& frame, const StyleTable& styles,
                 const ColumnPlace& place) {
    const term::Rect& area = place.area;
    const auto view = column_rows(b, place.kind, place.levels, area.height);
    if (!view) {
        return;
    }
    const std::vector<BrowseRow>& rows = *view->rows;
    const bool current = place.kind == ColumnKind::Current;
    RowContext context;
    context.styles = &styles;
    context.si = b.settings.si;
    context.current = current;
    context.reclaimable = b.tree_reclaimable;
    context.change_column = current && std::any_of(rows.begin(), rows.end(),
                                                   [](const auto& r) { return r.change != 0; });
    context.percent = b.geometry.width >= 50;
    context.folder_total = b.tree->total_size(view->folder);
    context.width = area.width;
    for (size_t i = 0; i < area.height && view->offset + i < rows.size(); ++i) {
        const size_t k = view->offset + i;
        const BrowseRow& row = rows[k];
        RowFacts facts;
        facts.name = b.row_name(view->folder, row);
        if (row.is_folder()) {
            facts.partial = b.tree->is_partial(row.folder());
            facts.error = b.tree->error_text(row.folder());
            facts.other_device = b.tree->other_device(row.folder());
        }
        const std::string picked = pick_path(b, view->folder, facts.name);
        facts.picked = std::find(b.picks.begin(), b.picks.end(), picked) != b.picks.end();
        const auto y = static_cast<uint16_t>(area.y + i);
        frame.set_line(area.x, y, row_line(context, row, facts), area.width);
        if (view->highlighted == k && place.kind != ColumnKind::Preview) {
            frame.set_style({area.x, y, area.width, 1},
                            styles[current ? Look::Selected : Look::Ancestor]);
        }
    }
}

void draw_middle(Browser& b, term::Buffer& frame, const StyleTable& styles,
                 std::chrono::system_clock::time_point now) {
    const term::Rect& area = b.geometry;
    if (b.unreadable_shown) {
        draw_unreadable_view(b, frame, area, styles);
        return;
    }
    if (b.largest_shown) {
        draw_largest_view(b, frame, area, styles);
        return;
    }
    if (b.picks_shown) {
        draw_picks_view(b, frame, area, styles);
        return;
    }
    if (!b.tree) {
        return;  // the title line tells the progress, the bottom line a failure
    }
    const size_t h = b.geometry.height;
    const size_t keep_visible = b.selected + 1 > h ? b.selected + 1 - h : 0;
    b.current_scroll = std::max(std::min(b.current_scroll, b.selected), keep_visible);
    const std::vector<ColumnPlace> columns = column_layout(b);
    for (const ColumnPlace& place : columns) {
        if (place.kind == ColumnKind::Ancestor && place.levels < b.stack.size()) {
            b.load_rows(b.stack[b.stack.size() - 1 - place.levels]);
        }
    }
    for (const ColumnPlace& place : columns) {
        draw_column(b, frame, styles, place);
    }
    if (b.rows.empty() && !b.filter.empty()) {
        for (const ColumnPlace& place : columns) {
            if (place.kind == ColumnKind::Current) {
                frame.set_stringn(place.area.x, place.area.y, "no matches for '" + b.filter + "'",
                                  place.area.width, {});
            }
        }
    }
    if (b.info_shown) {
        draw_info_box(b, frame, area, styles, now);
    }
}

}  // namespace

void draw_browser(Browser& b, term::Buffer& frame, const term::Rect& area, const StyleTable& styles,
                  std::chrono::system_clock::time_point now) {
    const std::optional<term::Line> summary = summary_line(b, styles, area.width);
    const std::array<term::Constraint, 3> constraints = {term::Constraint::length(1),
                                                         term::Constraint::fill(),
                                                         term::Constraint::length(summary ? 2 : 1)};
    const std::vector<term::Rect> parts = term::split_rows(area, constraints);
    b.geometry = parts[1];
    if (parts[0].height > 0) {
        frame.set_line(parts[0].x, parts[0].y, title_line(b, styles, area.width, now), area.width);
    }
    if (!parts[1].empty()) {
        draw_middle(b, frame, styles, now);
    }
    const term::Rect& bottom = parts[2];
    uint16_t y = bottom.y;
    if (summary && bottom.height == 2) {
        frame.set_line(bottom.x, y++, *summary, bottom.width);
    }
    if (bottom.height > 0) {
        frame.set_line(bottom.x, y, bottom_line(b, styles, area.width), bottom.width);
    }
}

}  // namespace bramwex::app
