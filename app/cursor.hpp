// The list cursor keys shared by the volume list and the browser.
#pragma once

#include <cstddef>
#include <optional>

#include "app/term/events.hpp"

namespace bramwex::app {

// The new cursor position for key in a list of count rows with page rows
// visible: arrows and j/k one row, g/G and Home/End the ends, PageUp/PageDown
// a page. None when key does not move the cursor.
std::optional<size_t> move_cursor(const term::KeyEvent& key, size_t current, size_t count,
                                  size_t page);

}  // namespace bramwex::app
