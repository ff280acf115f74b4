#include "app/browse/style_table.hpp"

namespace bramwex::app {

namespace {

using term::Color;
using term::NamedColor;
using term::Style;

constexpr Style fg(Color colour) {
    return Style{colour, std::nullopt, {}, {}};
}
constexpr Style with(term::Modifiers modifiers) {
    return Style{std::nullopt, std::nullopt, modifiers, {}};
}

}  // namespace

const StyleTable& StyleTable::coloured() {
    static const StyleTable table({
        fg(NamedColor::Red),
        fg(NamedColor::Yellow),
        fg(NamedColor::Green),
        fg(NamedColor::DarkGray),
        with(term::BOLD),
        fg(NamedColor::Red),
        fg(NamedColor::DarkGray),
        Style{Color::indexed(231), Color::indexed(25), term::BOLD, {}},
        Style{Color(NamedColor::White), Color(NamedColor::DarkGray), {}, {}},
        fg(NamedColor::Red),
        fg(NamedColor::Green),
        fg(NamedColor::Yellow),
        Style{Color(NamedColor::Cyan), std::nullopt, term::BOLD, {}},
        Style{Color(NamedColor::Yellow), std::nullopt, term::BOLD, {}},
        fg(NamedColor::Red),
        fg(NamedColor::Green),
        fg(NamedColor::Yellow),
    });
    return table;
}

const StyleTable& StyleTable::plain() {
    static const StyleTable table({
        Style{},
        Style{},
        Style{},
        Style{},
        with(term::BOLD),
        Style{},
        Style{},
        with(term::REVERSED),
        with(term::UNDERLINED),
        Style{},
        Style{},
        Style{},
        with(term::BOLD),
        with(term::BOLD),
        Style{},
        Style{},
        Style{},
    });
    return table;
}

const Style& StyleTable::for_size(bool si, uint64_t bytes) const {
    const uint64_t kilo = si ? 1000 : 1024;
    if (bytes >= kilo * kilo * kilo) {
        return (*this)[Look::SizeGiB];
    }
    if (bytes >= kilo * kilo) {
        return (*this)[Look::SizeMiB];
    }
    if (bytes >= kilo) {
        return (*this)[Look::SizeKiB];
    }
    return (*this)[Look::SizeBytes];
}

}  // namespace bramwex::app
