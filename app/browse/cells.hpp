// The small cells and lines every screen of the app is built from: sizes,
// percentages and hint lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/browse/style_table.hpp"
#include "app/term/span.hpp"

namespace bramwex::app {

// The size text right-aligned to 10 columns, in its magnitude style.
term::Span size_cell(bool si, const StyleTable& styles, uint64_t size);

// value as a share of total in 5 columns ("42.7%", " 5.0%", "<0.1%", " 100%"),
// rounded half up to a tenth of a percent; blanks when either is 0.
std::string percent_cell(uint64_t value, uint64_t total);

// "key description  key description": keys in the hint-key style.
term::Line hint_line(const StyleTable& styles, std::string_view text);

}  // namespace bramwex::app
