// Pairs clicks into double clicks: the same cell twice within 400 ms.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace bramwex::app {

using WallClock = std::chrono::system_clock;

struct ClickRecord {
    std::optional<WallClock::time_point> time;  // none: no click to pair with
    uint16_t column = 0;
    uint16_t row = 0;
};

// True when this click pairs with the recorded one. Records this click,
// without its time when it completed a pair, so a third click starts anew.
bool is_double_click(ClickRecord& record, WallClock::time_point now, uint16_t column, uint16_t row);

}  // namespace bramwex::app
