// A rectangle of terminal cells, in 0-based columns and rows.
#pragma once

#include <algorithm>
#include <cstdint>

namespace bramwex::term {

struct Rect {
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;

    friend constexpr bool operator==(const Rect&, const Rect&) = default;

    // One past the last column and row; wide enough not to wrap at 65535.
    constexpr uint32_t right() const { return uint32_t{x} + width; }
    constexpr uint32_t bottom() const { return uint32_t{y} + height; }
    constexpr uint32_t area() const { return uint32_t{width} * height; }
    constexpr bool empty() const { return width == 0 || height == 0; }
    constexpr bool contains(uint32_t column, uint32_t row) const {
        return column >= x && column < right() && row >= y && row < bottom();
    }
};

}  // namespace bramwex::term
