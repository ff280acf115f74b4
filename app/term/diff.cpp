// Cell-by-cell comparison of two frames, with the cursor and style tracked so
// that only needed moves and SGR codes are written.
#include "app/term/diff.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <optional>

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

    void cell(const Buffer& buffer, size_t index) {
        const Rect& area = buffer.area();
        const Position at{area.x + uint32_t(index % area.width),
                          area.y + uint32_t(index / area.width)};
        if (cursor_ != at) {
            fmt::format_to(std::back_inserter(out_), "\x1b[{};{}H", at.row + 1, at.column + 1);
        }
        const Cell& cell = buffer.cells()[index];
        append_style_change(out_, style_, cell.style);
        style_ = cell.style;
        out_ += cell.symbol;
        const uint32_t after = at.column + uint32_t(cell_width(buffer, index));
        // At the last column the terminal holds the cursor in a pending wrap:
        // where it goes next is not known.
        cursor_ = after < area.right() ? std::optional(Position{after, at.row}) : std::nullopt;
    }

    void finish() { append_style_change(out_, style_, kBlankStyle); }

  private:
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
    // either frame) are written again, since the terminal may have painted
    // over them.
    size_t covered_by_current = 0;
    size_t invalidated = 0;
    for (size_t i = 0; i < now.size(); ++i) {
        if (!now[i].skip && covered_by_current == 0 && (now[i] != before[i] || invalidated > 0)) {
            writer.cell(current, i);
        }
        const size_t width_now = cell_width(current, i);
        const size_t width_before = cell_width(previous, i);
        covered_by_current = width_now > 0 ? width_now - 1 : 0;
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
