// Where the folder columns go (ancestors, current, preview) for a width and
// depth, and which rows each column shows.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "app/browse/browse_row.hpp"
#include "app/term/rect.hpp"
#include "core/tree/records.hpp"

namespace bramwex::app {

class Browser;

enum class ColumnKind : uint8_t { Ancestor = 0, Current = 1, Preview = 2 };

struct ColumnPlace {
    ColumnKind kind = ColumnKind::Current;
    size_t levels = 0;  // above the current folder; ancestor columns only
    term::Rect area;
    friend bool operator==(const ColumnPlace&, const ColumnPlace&) = default;
};

// The columns, left to right, for the middle area and the depth of the
// folder shown (1 at the root).
std::vector<ColumnPlace> layout_columns(const term::Rect& geometry, size_t depth);
std::vector<ColumnPlace> column_layout(const Browser& browser);

struct ColumnView {
    const std::vector<BrowseRow>* rows = nullptr;
    core::FolderId folder;
    size_t offset = 0;                  // first row shown
    std::optional<size_t> highlighted;  // none in the preview
};

// The rows of one column with h lines; none for an empty column. The rows of
// the folders shown must be loaded.
std::optional<ColumnView> column_rows(const Browser& browser, ColumnKind kind, size_t levels,
                                      size_t h);

}  // namespace bramwex::app
