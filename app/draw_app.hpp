// Paints one frame of the app: the help, the volume list, the notice or the
// browser, by the screen shown.
#pragma once

#include "app/app.hpp"
#include "app/term/buffer.hpp"

namespace bramwex::app {

// Records the buffer's area as the frame area, then paints into the buffer.
void draw_app(App& app, term::Buffer& frame, WallClock::time_point now);

}  // namespace bramwex::app
