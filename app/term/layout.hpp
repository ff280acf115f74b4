// Splits an area into rows of fixed height and rows that share what is left.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "app/term/rect.hpp"

namespace bramwex::term {

// How tall one row of a split is.
struct Constraint {
    enum class Kind : uint8_t { Length, Fill };
    Kind kind = Kind::Fill;
    uint16_t value = 1;  // rows for Length, the share's weight for Fill

    static constexpr Constraint length(uint16_t rows) { return {Kind::Length, rows}; }
    static constexpr Constraint fill(uint16_t weight = 1) { return {Kind::Fill, weight}; }
};

// One Rect per constraint, stacked from the top with the area's x and width.
// Lengths are served first, in order, while height remains; the rest goes to
// the Fill rows by weight, any remainder to the first of them. Rows that get
// nothing have height 0.
std::vector<Rect> split_rows(Rect area, std::span<const Constraint> constraints);

}  // namespace bramwex::term
