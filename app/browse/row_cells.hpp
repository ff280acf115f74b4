// The cells a browse row is drawn from, one function per cell, and the span
// helpers shared by the status lines: names cut to fit, groups joined.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/browse/browse_row.hpp"
#include "app/browse/style_table.hpp"
#include "app/term/span.hpp"

namespace bramwex::app {

// The name as lossy text; a folder's with '/' in the folder style, patched
// with its label tier's style.
term::Span name_cell(uint8_t tier, RowKind kind, std::string_view name, const StyleTable& styles);

// The text in at most max columns: whole when it fits, else cut in the
// middle around a quiet "…" so both ends stay; nothing for max 0.
std::vector<term::Span> fit_to_width(std::string_view text, const term::Style& style, size_t max,
                                     const StyleTable& styles);

// The spans of all groups with a quiet " | " between groups.
term::Line concat_spans(const std::vector<std::vector<term::Span>>& groups,
                        const StyleTable& styles);

// "+1.0 KiB" or "-1.0 KiB".
std::string signed_size(bool si, int64_t change);

// What a row line needs besides the row.
struct RowContext {
    const StyleTable* styles = nullptr;
    bool si = false;
    bool current = false;        // the current column shows more cells
    bool reclaimable = false;    // the tree carries reclaimable sizes
    bool change_column = false;  // some row of the column changed
    bool percent = false;        // the frame is wide enough
    uint64_t folder_total = 0;   // of the folder the rows belong to
    size_t width = 0;            // of the column
};

// What a row line needs to know about the row's folder or file.
struct RowFacts {
    std::string_view name;
    bool partial = false;
    std::optional<std::string> error;  // a folder's error text
    bool other_device = false;
    bool picked = false;
};

// One row of a column, the name cut so that every other cell stays.
term::Line row_line(const RowContext& context, const BrowseRow& row, const RowFacts& facts);

}  // namespace bramwex::app
