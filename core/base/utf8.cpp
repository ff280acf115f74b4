#include "core/base/utf8.hpp"

#include <fmt/format.h>

#include <iterator>

namespace bramwex::core {

namespace detail {

int utf8_sequence_at(std::string_view bytes, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(i);
    int width = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
    } else if (lead == 0xE0) {
        width = 3;
        low = 0xA0;
    } else if (lead == 0xED) {
        width = 3;
        high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        width = 3;
    } else if (lead == 0xF0) {
        width = 4;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        width = 4;
    } else if (lead == 0xF4) {
        width = 4;
        high = 0x8F;
    } else {
        return -1;
    }
    // The second byte has a narrower range for some leads; the rest are 80..BF.
    for (int k = 1; k < width; ++k) {
        if (i + k >= bytes.size()) {
            return -k;
        }
        const unsigned char next = byte(i + k);
        const bool ok = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
        if (!ok) {
            return -k;
        }
    }
    return width;
}

}  // namespace detail

std::string to_utf8_lossy(std::string_view bytes, bool* lossy) {
    std::string out;
    out.reserve(bytes.size());
    const bool replaced = for_each_utf8_run(
        bytes, [&](std::string_view run) { out += run; }, [&] { out += kReplacementCharacter; });
    if (lossy != nullptr) {
        *lossy = replaced;
    }
    return out;
}

std::string escape_control_chars(std::string_view bytes) {
    const std::string text = to_utf8_lossy(bytes);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080..U+009F: valid UTF-8 here, since the text is lossy already.
            fmt::format_to(std::back_inserter(out), "\\u{{{:02x}}}", next);
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace bramwex::core
