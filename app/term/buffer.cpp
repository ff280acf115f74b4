// Painting text and styles into cells, clipped to the area.
#include "app/term/buffer.hpp"

#include <algorithm>

#include "core/base/fatal.hpp"

namespace bramwex::term {

void Cell::apply(const Style& over) {
    if (over.fg) {
        style.fg = over.fg;
    }
    if (over.bg) {
        style.bg = over.bg;
    }
    style.add = (style.add | over.add).without(over.remove);
}

Buffer::Buffer(Rect area) : area_(area), cells_(area.area()) {}

size_t Buffer::index(uint16_t x, uint16_t y) const {
    if (!area_.contains(x, y)) {
        core::fatal("cell ({}, {}) is outside the buffer of {}x{} at ({}, {})", x, y, area_.width,
                    area_.height, area_.x, area_.y);
    }
    return size_t{uint16_t(y - area_.y)} * area_.width + uint16_t(x - area_.x);
}

Cell& Buffer::at(uint16_t x, uint16_t y) {
    return cells_[index(x, y)];
}

const Cell& Buffer::at(uint16_t x, uint16_t y) const {
    return cells_[index(x, y)];
}

std::vector<std::string> Buffer::text_rows() const {
    std::vector<std::string> rows(area_.height);
    for (size_t i = 0; i < cells_.size(); ++i) {
        rows[i / area_.width] += cells_[i].symbol;
    }
    return rows;
}

void Buffer::reset() {
    std::fill(cells_.begin(), cells_.end(), Cell{});
}

void Buffer::resize(Rect area) {
    area_ = area;
    cells_.assign(area.area(), Cell{});
}

void Buffer::put(uint16_t x, uint16_t y, const Grapheme& grapheme, const Style& style) {
    const size_t first = index(x, y);
    const size_t last = first + grapheme.width - 1;
    // A wide character half covered by the new one would leave half a glyph:
    // its other half becomes a blank.
    if (cells_[first].skip) {
        cells_[first - 1].symbol = " ";
    }
    const size_t row_end = index(area_.x, y) + area_.width;
    if (last + 1 < row_end && cells_[last + 1].skip) {
        cells_[last + 1] = Cell{" ", cells_[last + 1].style, false};
    }
    Cell& head = cells_[first];
    head.symbol.assign(grapheme.text);
    head.skip = false;
    head.apply(style);
    if (grapheme.width == 2) {
        Cell& tail = cells_[first + 1];
        tail.symbol.clear();
        tail.skip = true;
        tail.apply(style);
    }
}

uint16_t Buffer::set_stringn(uint16_t x, uint16_t y, std::string_view text, size_t max_width,
                             const Style& style) {
    if (!area_.contains(x, y)) {
        return x;
    }
    const uint32_t room = area_.right() - x;
    const uint32_t limit = x + static_cast<uint32_t>(std::min<size_t>(room, max_width));
    uint32_t column = x;
    GraphemeReader reader(text);
    Grapheme grapheme;
    while (reader.next(grapheme)) {
        if (grapheme.width == 0) {
            continue;  // nothing of it would show, and no cell to give it
        }
        if (column + grapheme.width > limit) {
            break;
        }
        put(static_cast<uint16_t>(column), y, grapheme, style);
        column += grapheme.width;
    }
    return static_cast<uint16_t>(column);
}

uint16_t Buffer::set_span(uint16_t x, uint16_t y, const Span& span, size_t max_width) {
    return set_stringn(x, y, span.text, max_width, span.style);
}

uint16_t Buffer::set_line(uint16_t x, uint16_t y, const Line& line, size_t max_width) {
    uint16_t column = x;
    for (const auto& span : line.spans) {
        const size_t used = column - x;
        if (used >= max_width) {
            break;
        }
        const uint16_t next =
            set_stringn(column, y, span.text, max_width - used, line.style.patch(span.style));
        const bool cut_short = next - column < static_cast<int>(span.width());
        column = next;
        if (cut_short) {
            break;  // a later span would start after a gap
        }
    }
    return column;
}

void Buffer::set_style(Rect area, const Style& style) {
    const uint32_t left = std::max(area.x, area_.x);
    const uint32_t top = std::max(area.y, area_.y);
    const uint32_t right = std::min(area.right(), area_.right());
    const uint32_t bottom = std::min(area.bottom(), area_.bottom());
    for (uint32_t y = top; y < bottom; ++y) {
        for (uint32_t x = left; x < right; ++x) {
            cells_[index(static_cast<uint16_t>(x), static_cast<uint16_t>(y))].apply(style);
        }
    }
}

}  // namespace bramwex::term
