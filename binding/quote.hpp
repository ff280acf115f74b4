// The quoted form of a text inside the value classes' repr: double quotes
// around it, `\"` and `\\`, `\t` `\r` `\n` `\0`, and `\u{hex}` for the other
// characters a terminal would not show as themselves.
#pragma once

#include <string>
#include <string_view>

namespace bramwex::binding {

// utf8 must be valid UTF-8 (replace invalid sequences first).
std::string quoted(std::string_view utf8);

// Whether the code point is shown as itself. Controls, format characters,
// separators other than the space, private-use and non-characters are not;
// neither are combining marks, which would fuse with the quote before them.
bool is_shown_as_itself(char32_t code_point);

}  // namespace bramwex::binding
