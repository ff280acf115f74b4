// The picks with their sizes now: a picked folder's total from the tree on
// screen, anything else asked of the disk.
#pragma once

#include <optional>
#include <vector>

#include "app/browse/browser.hpp"
#include "app/browse/style_table.hpp"
#include "app/term/buffer.hpp"

namespace bramwex::app {

// Each pick's size, none for one that is gone.
std::vector<std::optional<uint64_t>> pick_sizes(const Browser& browser);

// Writes back the scroll that keeps the selected pick visible.
void draw_picks_view(Browser& browser, term::Buffer& frame, const term::Rect& area,
                     const StyleTable& styles);

}  // namespace bramwex::app
