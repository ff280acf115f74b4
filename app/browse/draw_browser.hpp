// Paints the browse screen of a Browser: the title line, the folder columns
// in the middle and the bottom lines. Writes back the middle area and the
// current column's scroll, which the keys and the mouse rely on.
#pragma once

#include <chrono>

#include "app/browse/browser.hpp"
#include "app/browse/style_table.hpp"
#include "app/term/buffer.hpp"

namespace bramwex::app {

void draw_browser(Browser& browser, term::Buffer& frame, const term::Rect& area,
                  const StyleTable& styles, std::chrono::system_clock::time_point now);

}  // namespace bramwex::app
