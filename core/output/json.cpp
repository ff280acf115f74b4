#include "core/output/json.hpp"

#include "core/base/utf8.hpp"

namespace bramwex::core {

namespace {

void append_escaped(std::string& out, std::string_view valid) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : valid) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += kHex[(c >> 4) & 0xF];
                    out += kHex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

}  // namespace

bool write_json_string(std::string& out, std::string_view bytes) {
    out += '"';
    const bool lossy = for_each_utf8_run(
        bytes, [&](std::string_view run) { append_escaped(out, run); },
        [&] { out += kReplacementCharacter; });
    out += '"';
    return lossy;
}

}  // namespace bramwex::core
