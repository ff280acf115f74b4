// SGR codes for colours and modifiers.
#include "app/term/sgr.hpp"

#include <fmt/format.h>

#include <iterator>

namespace bramwex::term {
namespace {

// base is 30 for foreground, 40 for background.
void append_color(std::string& params, Color color, int base) {
    params += params.empty() ? "" : ";";
    switch (color.kind) {
        case Color::Kind::Reset:
            fmt::format_to(std::back_inserter(params), "{}", base + 9);
            break;
        case Color::Kind::Named:
            fmt::format_to(std::back_inserter(params), "{}",
                           color.value < 8 ? base + color.value : base + 60 + color.value - 8);
            break;
        case Color::Kind::Indexed:
            fmt::format_to(std::back_inserter(params), "{};5;{}", base + 8, color.value);
            break;
    }
}

// Bit i of the set is SGR code i + 1 (BOLD 1 ... CROSSED_OUT 9).
void append_modifiers(std::string& params, Modifiers modifiers) {
    for (int bit = 0; bit < 9; ++bit) {
        if (modifiers.bits & (1u << bit)) {
            params += params.empty() ? "" : ";";
            params += static_cast<char>('1' + bit);
        }
    }
}

}  // namespace

void append_style_change(std::string& out, const Style& from, const Style& to) {
    std::string params;
    const Color from_fg = from.fg.value_or(Color::reset());
    const Color from_bg = from.bg.value_or(Color::reset());
    const Color to_fg = to.fg.value_or(Color::reset());
    const Color to_bg = to.bg.value_or(Color::reset());
    if (!from.add.without(to.add).empty()) {
        params = "0";
        append_modifiers(params, to.add);
        if (to_fg != Color::reset()) {
            append_color(params, to_fg, 30);
        }
        if (to_bg != Color::reset()) {
            append_color(params, to_bg, 40);
        }
    } else {
        append_modifiers(params, to.add.without(from.add));
        if (to_fg != from_fg) {
            append_color(params, to_fg, 30);
        }
        if (to_bg != from_bg) {
            append_color(params, to_bg, 40);
        }
    }
    if (!params.empty()) {
        out += "\x1b[";
        out += params;
        out += 'm';
    }
}

}  // namespace bramwex::term
