// The bytes that bring a terminal screen from one frame to the next: cursor
// moves, SGR changes and the text of the cells that changed, nothing else.
#pragma once

#include <string>

#include "app/term/buffer.hpp"

namespace bramwex::term {

// Bytes turning a screen that shows `previous` into one that shows `current`
// (both over the same area). Empty when nothing changed. The terminal is taken
// to start in the blank style with the cursor anywhere, and is left in the
// blank style.
std::string diff_frames(const Buffer& previous, const Buffer& current);

// Bytes that clear the screen and draw `current` onto it: for a screen in an
// unknown state or of a new size.
std::string redraw_frame(const Buffer& current);

}  // namespace bramwex::term
