#include "binding/quote.hpp"

#include <fmt/format.h>

#include <iterator>

namespace bramwex::binding {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Sorted, inclusive. Most are the format characters and separators of the
// Unicode database; the combining blocks stand for "grapheme extend".
constexpr Range kNotShown[] = {
    {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},   {0x0300, 0x036F},
    {0x0483, 0x0489},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x1680, 0x1680},   {0x180E, 0x180E},   {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},   {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x2064},
    {0x2066, 0x206F},   {0x20D0, 0x20FF},   {0x3000, 0x3000},   {0xE000, 0xF8FF},
    {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF}, {0xF0000, 0x10FFFF},
};

// Decodes the code point at text[at] (valid UTF-8) and advances at past it.
char32_t next_code_point(std::string_view text, size_t& at) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    const int width = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t value = lead & (0x7F >> width);
    for (int k = 1; k < width && at + k < text.size(); ++k) {
        value = (value << 6) | (byte(at + k) & 0x3F);
    }
    at += static_cast<size_t>(width);
    return value;
}

}  // namespace

bool is_shown_as_itself(char32_t code_point) {
    if ((code_point & 0xFFFE) == 0xFFFE) {
        return false;  // the non-characters at the end of every plane
    }
    for (const Range& range : kNotShown) {
        if (code_point < range.first) {
            return true;
        }
        if (code_point <= range.last) {
            return false;
        }
    }
    return true;
}

std::string quoted(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    size_t at = 0;
    while (at < utf8.size()) {
        const size_t start = at;
        const char32_t c = next_code_point(utf8, at);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        if (is_shown_as_itself(c)) {
            out.append(utf8.substr(start, at - start));
        } else {
            fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<uint32_t>(c));
        }
    }
    out += '"';
    return out;
}

}  // namespace bramwex::binding
