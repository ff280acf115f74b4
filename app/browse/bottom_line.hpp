// The last line of the browse screen: the status message, or the key hints
// of the mode the browser is in.
#pragma once

#include <cstddef>

#include "app/browse/style_table.hpp"
#include "app/term/span.hpp"

namespace bramwex::app {

class Browser;

term::Line bottom_line(const Browser& browser, const StyleTable& styles, size_t width);

}  // namespace bramwex::app
