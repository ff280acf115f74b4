// Colours, text modifiers and styles of terminal cells, and how one style is
// laid over another.
#pragma once

#include <cstdint>
#include <optional>

namespace bramwex::term {

// The sixteen colours every terminal names; the order is their SGR order
// (Black..Gray are 30-37, DarkGray..White are 90-97).
enum class NamedColor : uint8_t {
    Black,
    Red,
    Green,
    Yellow,
    Blue,
    Magenta,
    Cyan,
    Gray,
    DarkGray,
    LightRed,
    LightGreen,
    LightYellow,
    LightBlue,
    LightMagenta,
    LightCyan,
    White,
};

// A terminal colour: the terminal's own default (Reset), a named colour or an
// entry of the 256-colour palette.
struct Color {
    enum class Kind : uint8_t { Reset, Named, Indexed };
    Kind kind = Kind::Reset;
    uint8_t value = 0;  // NamedColor for Named, the palette index for Indexed

    constexpr Color() = default;
    constexpr Color(NamedColor named) : kind(Kind::Named), value(static_cast<uint8_t>(named)) {}
    static constexpr Color reset() { return Color(); }
    static constexpr Color indexed(uint8_t index) {
        Color color;
        color.kind = Kind::Indexed;
        color.value = index;
        return color;
    }
    friend constexpr bool operator==(Color, Color) = default;
};

// A set of text modifiers, one bit each.
struct Modifiers {
    uint16_t bits = 0;

    friend constexpr bool operator==(Modifiers, Modifiers) = default;
    constexpr Modifiers operator|(Modifiers other) const { return {uint16_t(bits | other.bits)}; }
    constexpr Modifiers operator&(Modifiers other) const { return {uint16_t(bits & other.bits)}; }
    constexpr Modifiers without(Modifiers other) const { return {uint16_t(bits & ~other.bits)}; }
    constexpr bool empty() const { return bits == 0; }
    constexpr bool contains(Modifiers other) const { return (bits & other.bits) == other.bits; }
};

inline constexpr Modifiers BOLD{1 << 0};
inline constexpr Modifiers DIM{1 << 1};
inline constexpr Modifiers ITALIC{1 << 2};
inline constexpr Modifiers UNDERLINED{1 << 3};
inline constexpr Modifiers SLOW_BLINK{1 << 4};
inline constexpr Modifiers RAPID_BLINK{1 << 5};
inline constexpr Modifiers REVERSED{1 << 6};
inline constexpr Modifiers HIDDEN{1 << 7};
inline constexpr Modifiers CROSSED_OUT{1 << 8};

// A style is a change to apply: absent colours leave what is under them, a
// Reset colour puts the terminal default back.
struct Style {
    std::optional<Color> fg;
    std::optional<Color> bg;
    Modifiers add;     // modifiers turned on
    Modifiers remove;  // modifiers turned off

    friend bool operator==(const Style&, const Style&) = default;

    // This style with `over` laid on top: colours `over` sets win; its removed
    // modifiers leave the added set before its added ones join it.
    Style patch(const Style& over) const;
};

}  // namespace bramwex::term
