// The first bottom line: the selected entry's name, sizes, a warning note and
// its label, dropping the label, then the note, and cutting the name last.
#pragma once

#include <cstddef>
#include <optional>

#include "app/browse/style_table.hpp"
#include "app/term/span.hpp"

namespace bramwex::app {

class Browser;

// None when no overlay list is open, no tree is shown or no row is selected.
std::optional<term::Line> summary_line(const Browser& browser, const StyleTable& styles,
                                       size_t width);

}  // namespace bramwex::app
