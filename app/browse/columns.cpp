#include "app/browse/columns.hpp"

#include <algorithm>

#include "app/browse/browser.hpp"

namespace bramwex::app {

namespace {

constexpr size_t kAncestorWidth = 30;

}  // namespace

std::vector<ColumnPlace> layout_columns(const term::Rect& geometry, size_t depth) {
    const size_t w = geometry.width;
    std::vector<ColumnPlace> columns;
    auto add = [&](ColumnKind kind, size_t levels, size_t width) {
        columns.push_back(
            {kind, levels, {0, geometry.y, static_cast<uint16_t>(width), geometry.height}});
    };
    if (w < 60) {
        add(ColumnKind::Current, 0, w);
    } else if (w < 100 || depth <= 1) {
        const size_t a = w - 1;
        const size_t current = std::min((6 * a + 4) / 10, size_t{60});
        add(ColumnKind::Current, 0, current);
        add(ColumnKind::Preview, 0, std::min(a - current, size_t{40}));
    } else {
        const size_t a = w - 2;
        const size_t parent = std::min((2 * a + 4) / 10, size_t{30});
        const size_t current = std::min((5 * a + 5) / 10, size_t{60});
        const size_t preview = std::min(a - parent - current, size_t{40});
        size_t spare = a - parent - current - preview;
        std::vector<size_t> more;  // levels of the ancestor columns added on the left
        for (size_t levels = 2; spare >= kAncestorWidth + 1 && levels < depth; ++levels) {
            more.push_back(levels);
            spare -= kAncestorWidth + 1;
        }
        for (auto it = more.rbegin(); it != more.rend(); ++it) {
            add(ColumnKind::Ancestor, *it, kAncestorWidth);
        }
        add(ColumnKind::Ancestor, 1, parent);
        add(ColumnKind::Current, 0, current);
        add(ColumnKind::Preview, 0, preview);
    }
    uint32_t x = geometry.x;
    for (auto& column : columns) {
        column.area.x = static_cast<uint16_t>(x);
        x += column.area.width + 1u;
    }
    return columns;
}

std::vector<ColumnPlace> column_layout(const Browser& browser) {
    return layout_columns(browser.geometry, browser.stack.size());
}

std::optional<ColumnView> column_rows(const Browser& browser, ColumnKind kind, size_t levels,
                                      size_t h) {
    const auto& stack = browser.stack;
    if (stack.empty()) {
        return std::nullopt;
    }
    switch (kind) {
        case ColumnKind::Current:
            return ColumnView{&browser.rows, stack.back(), browser.current_scroll,
                              browser.selected};
        case ColumnKind::Preview: {
            if (browser.selected >= browser.rows.size() ||
                !browser.rows[browser.selected].is_folder()) {
                return std::nullopt;
            }
            const core::FolderId folder = browser.rows[browser.selected].folder();
            const auto& rows = browser.row_cache.at(folder);
            const size_t most = rows.size() > h ? rows.size() - h : 0;
            return ColumnView{&rows, folder, std::min(browser.preview_scroll, most), std::nullopt};
        }
        case ColumnKind::Ancestor: {
            if (levels == 0 || levels >= stack.size()) {
                return std::nullopt;
            }
            const core::FolderId folder = stack[stack.size() - 1 - levels];
            const core::FolderId inside = stack[stack.size() - levels];
            const auto& rows = browser.row_cache.at(folder);
            std::optional<size_t> highlighted;
            for (size_t k = 0; k < rows.size(); ++k) {
                if (rows[k].is_folder() && rows[k].folder() == inside) {
                    highlighted = k;
                    break;
                }
            }
            size_t offset = 0;
            if (levels == 1 && browser.parent_scroll) {
                const size_t most = rows.size() > h ? rows.size() - h : 0;
                offset = std::min(most, *browser.parent_scroll);
            } else if (highlighted) {
                offset = *highlighted + 1 - std::min(h, *highlighted + 1);
            }
            return ColumnView{&rows, folder, offset, highlighted};
        }
    }
    return std::nullopt;
}

}  // namespace bramwex::app
