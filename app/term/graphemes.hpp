// Splits text into the graphemes a terminal draws in one cell each (or two,
// for wide ones), with their display widths, and makes every one of them safe
// to send to a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
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

// U+FFFD, drawn in place of what must not reach the terminal.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace bramwex::term
