// Cell-by-cell comparison of two frames, with the cursor and style tracked so
// that only needed moves and SGR codes are written.
#include "app/term/diff.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "app/term/graphemes.hpp"
#include "app/term/sgr.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

// Columns the cell at `index` draws: 0 for the right half of a wide
// character, 2 for its left half, else 1.
size_t cell_width(const Buffer& buffer, size_t index) {
    const auto& cells = buffer.cells();
    if (cells[index].skip) {
        return 0;
    }
    const bool row_end = (index + 1) % buffer.area().width == 0;
    return !row_end && cells[index + 1].skip ? 2 : 1;
}

struct Position {
    uint32_t column;
    uint32_t row;
    friend bool operator==(const Position&, const Position&) = default;
};

class FrameWriter {
  public:
    explicit FrameWriter(std::string& out) : out_(out) {}

    // Writes the cell at `index`; returns how many columns from it the
    // terminal may have drawn over, which are to be written again after it.
    size_t cell(const Buffer& buffer, size_t index) {
        const Rect& area = buffer.area();
        const Position at{area.x + uint32_t(index % area.width),
                          area.y + uint32_t(index / area.width)};
        const Cell& cell = buffer.cells()[index];
        const size_t width = cell_width(buffer, index);
        const size_t reach = uncertain_reach(cell.symbol, width);
        move_to(at);
        append_style_change(out_, style_, cell.style);
        style_ = cell.style;
        if (reach == 0) {
            out_ += cell.symbol;
        } else if (at.column + reach > area.right()) {
            // Terminals disagree on this cluster's width. Where what it may
            // spill over would not be written again after it (past the row's
            // end, or wrapped onto the next row), something certain is drawn.
            out_ += certain_stand_in(cell.symbol, width);
        } else {
            // Blanks first, for a terminal that draws it narrower; the cursor
            // is moved explicitly after it, never trusted to have advanced.
            out_.append(width, ' ');
            advance(at, width, area);
            move_to(at);
            out_ += cell.symbol;
            cursor_ = std::nullopt;
            return reach;
        }
        advance(at, width, area);
        return width;
    }

    void finish() { append_style_change(out_, style_, kBlankStyle); }

  private:
    void move_to(Position at) {
        if (cursor_ != at) {
            fmt::format_to(std::back_inserter(out_), "\x1b[{};{}H", at.row + 1, at.column + 1);
        }
    }

    void advance(Position at, size_t width, const Rect& area) {
        const uint32_t after = at.column + uint32_t(width);
        // At the last column the terminal holds the cursor in a pending wrap:
        // where it goes next is not known.
        cursor_ = after < area.right() ? std::optional(Position{after, at.row}) : std::nullopt;
    }

    std::string& out_;
    std::optional<Position> cursor_;
    Style style_ = kBlankStyle;
};

void append_changes(std::string& out, const Buffer& previous, const Buffer& current) {
    if (previous.area() != current.area()) {
        core::fatal("frames of different areas cannot be compared");
    }
    FrameWriter writer(out);
    const auto& now = current.cells();
    const auto& before = previous.cells();
    // Cells still covered by a wide character drawn just before them (in
    // either frame), or by a cluster the terminal may have drawn wider than
    // its cells, are written again, since the terminal may have painted over
    // them.
    size_t covered_by_current = 0;
    size_t invalidated = 0;
    for (size_t i = 0; i < now.size(); ++i) {
        const size_t own_width = cell_width(current, i);
        size_t width_now = own_width;
        size_t width_before = cell_width(previous, i);
        if (now[i] != before[i] || invalidated > 0) {
            if (!now[i].skip && covered_by_current == 0) {
                width_now = writer.cell(current, i);
            }
            width_before = std::max(width_before, uncertain_reach(before[i].symbol, width_before));
        }
        covered_by_current = own_width > 0 ? own_width - 1 : 0;
        const size_t reach = std::max({width_now, width_before, invalidated});
        invalidated = reach > 0 ? reach - 1 : 0;
    }
    writer.finish();
}

}  // namespace

std::string diff_frames(const Buffer& previous, const Buffer& current) {
    std::string out;
    append_changes(out, previous, current);
    return out;
}

std::string redraw_frame(const Buffer& current) {
    std::string out = "\x1b[0m\x1b[2J";
    append_changes(out, Buffer(current.area()), current);
    return out;
}

}  // namespace bramwex::term
