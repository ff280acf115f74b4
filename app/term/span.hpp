// Styled text: a Span is one run of text in one style, a Line a row of spans
// with a style laid under all of them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/term/graphemes.hpp"
#include "app/term/style.hpp"

namespace bramwex::term {

struct Span {
    std::string text;
    Style style;

    Span() = default;
    Span(std::string text, Style style = {}) : text(std::move(text)), style(style) {}

    // Columns the text takes when drawn.
    size_t width() const { return display_width(text); }
};

struct Line {
    std::vector<Span> spans;
    Style style;  // under every span: each span's style is patched over it

    Line() = default;
    Line(std::vector<Span> spans, Style style = {}) : spans(std::move(spans)), style(style) {}

    // Columns all spans take when drawn.
    size_t width() const {
        size_t total = 0;
        for (const auto& span : spans) {
            total += span.width();
        }
        return total;
    }
};

}  // namespace bramwex::term
