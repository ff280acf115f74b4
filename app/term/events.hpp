// What the terminal tells the app: keys, mouse reports, new sizes, requests
// to leave or to stop, and its end, as plain values.
#pragma once

#include <cstdint>
#include <variant>

namespace bramwex::term {

// Modifier keys held, one bit each.
struct KeyModifiers {
    uint8_t bits = 0;

    friend constexpr bool operator==(KeyModifiers, KeyModifiers) = default;
    constexpr KeyModifiers operator|(KeyModifiers other) const {
        return {uint8_t(bits | other.bits)};
    }
    constexpr bool contains(KeyModifiers other) const { return (bits & other.bits) == other.bits; }
};

inline constexpr KeyModifiers NO_MODIFIERS{0};
inline constexpr KeyModifiers SHIFT{1};
inline constexpr KeyModifiers ALT{2};
inline constexpr KeyModifiers CONTROL{4};

enum class Key : uint8_t {
    Char,  // a character, in KeyCode::ch
    Enter,
    Tab,
    BackTab,
    Backspace,
    Esc,
    Left,
    Right,
    Up,
    Down,
    Home,
    End,
    PageUp,
    PageDown,
    Delete,
    Insert,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
};

struct KeyCode {
    Key key = Key::Char;
    char32_t ch = 0;  // the character for Key::Char, else 0

    constexpr KeyCode() = default;
    constexpr KeyCode(Key key) : key(key) {}
    constexpr KeyCode(char32_t ch) : key(Key::Char), ch(ch) {}
    friend constexpr bool operator==(KeyCode, KeyCode) = default;
};

// A key press. Letters come as typed ('G', not 'g' with SHIFT); Ctrl+letter
// is the lower-case letter with CONTROL; ESC before a key adds ALT.
struct KeyEvent {
    KeyCode code;
    KeyModifiers modifiers;

    friend constexpr bool operator==(KeyEvent, KeyEvent) = default;
};

enum class MouseKind : uint8_t { Press, Release, Drag, Move, WheelUp, WheelDown };
enum class MouseButton : uint8_t { None, Left, Middle, Right };

// A mouse report. Column and row are 0-based. `button` is None for wheel and
// plain motion, and for releases in reporting modes that do not say which
// button was let go.
struct MouseEvent {
    MouseKind kind = MouseKind::Press;
    MouseButton button = MouseButton::None;
    uint16_t column = 0;
    uint16_t row = 0;
    KeyModifiers modifiers;

    friend constexpr bool operator==(MouseEvent, MouseEvent) = default;
};

// The terminal's new size.
struct Resize {
    uint16_t columns = 0;
    uint16_t rows = 0;

    friend constexpr bool operator==(Resize, Resize) = default;
};

// SIGTERM or SIGHUP arrived: the app should leave in order (ExitSignals
// tells which).
struct ExitRequested {
    friend constexpr bool operator==(ExitRequested, ExitRequested) = default;
};

// SIGTSTP arrived: the app should give the terminal back and stop
// (SuspendSignals::stop_process).
struct StopRequested {
    friend constexpr bool operator==(StopRequested, StopRequested) = default;
};

// SIGCONT arrived: whatever ran meanwhile may have drawn over the screen or
// changed the terminal's modes.
struct Continued {
    friend constexpr bool operator==(Continued, Continued) = default;
};

// Nothing more can be read from the terminal: `error` is the errno, 0 for the
// end of input. The last event of the input thread.
struct InputEnded {
    int error = 0;

    friend constexpr bool operator==(InputEnded, InputEnded) = default;
};

using InputEvent =
    std::variant<KeyEvent, MouseEvent, Resize, ExitRequested, StopRequested, Continued, InputEnded>;

}  // namespace bramwex::term
