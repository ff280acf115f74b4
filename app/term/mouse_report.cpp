// Button-code bits: 0-1 button (3 = none or released), 2 Shift, 3 Alt,
// 4 Ctrl, 5 motion, 6 wheel, 7 extra buttons.
#include "app/term/mouse_report.hpp"

#include <algorithm>

namespace bramwex::term::detail {
namespace {

uint16_t zero_based(uint32_t coordinate) {
    return static_cast<uint16_t>(std::clamp<uint32_t>(coordinate, 1, 65536) - 1);
}

}  // namespace

std::optional<MouseEvent> mouse_event(uint32_t code, uint32_t column, uint32_t row, bool released) {
    if (code > 255 || (code & 128)) {
        return std::nullopt;
    }
    MouseEvent event;
    event.column = zero_based(column);
    event.row = zero_based(row);
    event.modifiers = {static_cast<uint8_t>(((code & 4) ? SHIFT.bits : 0) |
                                            ((code & 8) ? ALT.bits : 0) |
                                            ((code & 16) ? CONTROL.bits : 0))};
    const uint32_t low = code & 3;
    if (code & 64) {
        if (low > 1) {
            return std::nullopt;
        }
        event.kind = low == 0 ? MouseKind::WheelUp : MouseKind::WheelDown;
        return event;
    }
    constexpr MouseButton kButtons[] = {MouseButton::Left, MouseButton::Middle, MouseButton::Right,
                                        MouseButton::None};
    event.button = kButtons[low];
    if (code & 32) {
        event.kind = event.button == MouseButton::None ? MouseKind::Move : MouseKind::Drag;
    } else if (released || event.button == MouseButton::None) {
        event.kind = MouseKind::Release;
    } else {
        event.kind = MouseKind::Press;
    }
    return event;
}

}  // namespace bramwex::term::detail
