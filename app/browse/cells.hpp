// The small cells and lines every screen of the app is built from: sizes,
// percentages, ages, counts and hint lines.
#pragma once

#include <chrono>
#include <cstddef>
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

// The browse hints that fit in width: items before the last two go first,
// the last of them first; at least "hjkl move", "? help" and "q quit" stay.
std::string browse_hint_line(size_t width);

// "{} s", "{} min", "{} h" or "{} d", truncating.
std::string format_age(uint64_t seconds);
// Whole seconds from earlier to now; 0 when earlier lies in the future.
uint64_t age_seconds(std::chrono::system_clock::time_point now,
                     std::chrono::system_clock::time_point earlier);

// Digits grouped by three with ',' (1,234,567).
std::string format_count(uint64_t n);

}  // namespace bramwex::app
