// The top line of the browse screen: the root, then what the scan is doing
// and how old and how changed the tree on screen is, dropping the least
// important segments first when the line is too narrow.
#pragma once

#include <chrono>
#include <cstddef>

#include "app/browse/style_table.hpp"
#include "app/term/span.hpp"

namespace bramwex::app {

class Browser;

term::Line title_line(const Browser& browser, const StyleTable& styles, size_t width,
                      std::chrono::system_clock::time_point now);

}  // namespace bramwex::app
