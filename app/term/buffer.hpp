// The cells of one frame: what each cell of an area shows and in which
// style. Views paint into a Buffer; only the diff renderer turns it into
// terminal bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "app/term/rect.hpp"
#include "app/term/span.hpp"
#include "app/term/style.hpp"

namespace bramwex::term {

// Terminal defaults: what a cleared screen shows.
inline constexpr Style kBlankStyle{Color::reset(), Color::reset(), {}, {}};

struct Cell {
    std::string symbol = " ";   // one grapheme, never a control character
    Style style = kBlankStyle;  // colours always set; `remove` always empty
    bool skip = false;          // right half of a wide character drawn by the cell before

    friend bool operator==(const Cell&, const Cell&) = default;

    // Lays `over` on the cell: colours it sets replace the cell's, its added
    // modifiers are turned on, then its removed ones off.
    void apply(const Style& over);
};

class Buffer {
  public:
    explicit Buffer(Rect area = {});

    const Rect& area() const { return area_; }
    const std::vector<Cell>& cells() const { return cells_; }

    // The cell at an absolute column and row inside the area; outside is a
    // broken contract.
    Cell& at(uint16_t x, uint16_t y);
    const Cell& at(uint16_t x, uint16_t y) const;

    // Each row as the text it shows, a wide character once: for tests that
    // compare a drawn view with expected lines.
    std::vector<std::string> text_rows() const;

    // Every cell blank again.
    void reset();
    // A new area, all blank.
    void resize(Rect area);

    static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

    // Draws text from (x, y) in at most `max_width` columns and never past the
    // area's right edge, each cell patched with `style`. Drawing stops at the
    // first grapheme that does not fit, so a wide character is never cut in
    // half. Nothing is drawn when (x, y) lies outside the area. Returns the
    // column after the last cell drawn.
    uint16_t set_stringn(uint16_t x, uint16_t y, std::string_view text, size_t max_width,
                         const Style& style);
    uint16_t set_string(uint16_t x, uint16_t y, std::string_view text, const Style& style) {
        return set_stringn(x, y, text, kNoLimit, style);
    }
    uint16_t set_span(uint16_t x, uint16_t y, const Span& span, size_t max_width = kNoLimit);
    // Each span in the line's style patched with the span's own.
    uint16_t set_line(uint16_t x, uint16_t y, const Line& line, size_t max_width = kNoLimit);

    // Patches every cell of `area` (clipped to the buffer's) with `style`.
    void set_style(Rect area, const Style& style);

  private:
    size_t index(uint16_t x, uint16_t y) const;
    // Writes one grapheme of width 1 or 2 at (x, y), first breaking up any wide
    // character it would overlap in part.
    void put(uint16_t x, uint16_t y, const Grapheme& grapheme, const Style& style);

    Rect area_;
    std::vector<Cell> cells_;
};

}  // namespace bramwex::term
