// The box of everything known about the selected entry, drawn over the
// columns, and the framed line with a centred title that tops and ends it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/browse/browser.hpp"
#include "app/browse/style_table.hpp"
#include "app/term/buffer.hpp"

namespace bramwex::app {

// "+--- title ---+" in width columns; wider when the title does not fit.
std::string titled_rule(size_t width, std::string_view title);

// The box's (key, value) rows for the selected entry.
std::vector<std::pair<std::string, std::string>> info_rows(
    const Browser& browser, const SelectedEntry& entry, std::chrono::system_clock::time_point now);

void draw_info_box(const Browser& browser, term::Buffer& frame, const term::Rect& area,
                   const StyleTable& styles, std::chrono::system_clock::time_point now);

}  // namespace bramwex::app
