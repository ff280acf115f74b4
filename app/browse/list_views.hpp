// The two lists that take over the middle area from the columns: the folders
// that could not be read, and the largest files, checked on disk only as far
// as the screen needs.
#pragma once

#include "app/browse/browser.hpp"
#include "app/browse/style_table.hpp"
#include "app/term/buffer.hpp"

namespace bramwex::app {

// Scrolls by the stored index, limited for this frame only.
void draw_unreadable_view(const Browser& browser, term::Buffer& frame, const term::Rect& area,
                          const StyleTable& styles);

// Records in largest_shown whether each file it reaches exists; writes back
// the selection and the scroll.
void draw_largest_view(Browser& browser, term::Buffer& frame, const term::Rect& area,
                       const StyleTable& styles);

}  // namespace bramwex::app
