#include "app/click.hpp"

namespace bramwex::app {

bool is_double_click(ClickRecord& record, WallClock::time_point now, uint16_t column,
                     uint16_t row) {
    const bool paired = record.time && now >= *record.time &&
                        now - *record.time <= std::chrono::milliseconds(400) &&
                        record.column == column && record.row == row;
    record.time = paired ? std::nullopt : std::optional(now);
    record.column = column;
    record.row = row;
    return paired;
}

}  // namespace bramwex::app
