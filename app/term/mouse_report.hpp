// The meaning of a mouse report's button code and coordinates, shared by the
// SGR, urxvt and X10 report forms.
#pragma once

#include <cstdint>
#include <optional>

#include "app/term/events.hpp"

namespace bramwex::term::detail {

// `code` is the report's button code (with the 32 of the urxvt and X10 forms
// taken off), `column` and `row` its 1-based coordinates (0 and anything past
// 65536 are clamped). `released` is the SGR form's final 'm'. None for codes
// that name no event this app knows (extra buttons, sideways wheel).
std::optional<MouseEvent> mouse_event(uint32_t code, uint32_t column, uint32_t row, bool released);

}  // namespace bramwex::term::detail
