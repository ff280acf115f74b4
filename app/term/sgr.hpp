// Select Graphic Rendition: the escape sequence that takes the terminal from
// one cell style to another.
#pragma once

#include <string>

#include "app/term/style.hpp"

namespace bramwex::term {

// Appends to `out` the one SGR sequence (or nothing) that changes the
// terminal's style `from` to `to`. Both are cell styles: colours set, nothing
// removed. Turning a modifier off starts over from 0 (one code for all
// modifiers), then sets what `to` holds.
void append_style_change(std::string& out, const Style& from, const Style& to);

}  // namespace bramwex::term
