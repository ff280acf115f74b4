// Splits text into the graphemes a terminal draws in one cell each (or two,
// for wide ones), with their display widths, and makes every one of them safe
// to send to a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bramwex::term {

// What one grapheme draws as. `text` points into the input, or at the
// replacement character U+FFFD when the input held a control character (C0,
// DEL, C1) or bytes that are not UTF-8; each of those becomes its own
// one-column grapheme, so no such byte ever reaches the terminal. U+FFFD
// itself is a grapheme of its own too, so text put together from graphemes
// reads back as the same graphemes.
struct Grapheme {
    std::string_view text;
    uint8_t width = 0;  // columns: 0 (nothing visible, not drawn), 1 or 2
};

// Reads graphemes from the front of a text, one per `next` call.
class GraphemeReader {
  public:
    explicit GraphemeReader(std::string_view text) : rest_(text) {}

    // The next grapheme; false at the end of the text.
    bool next(Grapheme& grapheme);

  private:
    std::string_view rest_;
};

// Columns the text takes when drawn: the sum of its graphemes' widths.
size_t display_width(std::string_view text);

// Terminals disagree on the width of some clusters: those of several code
// points (a joiner, a variation selector, a skin tone, a flag) and a lone skin
// tone or regional indicator. For such a cluster drawn in `width` columns,
// the most columns any terminal may give it (at least `width`); 0 for a
// cluster every terminal draws in `width` columns.
size_t uncertain_reach(std::string_view cluster, size_t width);

// What to draw instead of such a cluster where it must not spill: `width`
// columns every terminal agrees on, its first code point when that is one of
// them, padded with blanks (else U+FFFD, padded).
std::string certain_stand_in(std::string_view cluster, size_t width);

// U+FFFD, drawn in place of what must not reach the terminal.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace bramwex::term
