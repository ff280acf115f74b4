// One step at a time: each step reads one key, one sequence or one dropped
// run of bytes from the front of the unread input, or says it needs more.
#include "app/term/input_decoder.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <optional>

#include "app/term/mouse_report.hpp"

namespace bramwex::term {
namespace {

constexpr char kEsc = '\x1b';
// Longer parameter runs are no sequence a terminal sends; dropping them keeps
// a stray "ESC [" from holding input back forever.
constexpr size_t kMaxParameterBytes = 64;

struct Step {
    // Overlong: the start of a sequence with too many parameter bytes; the
    // rest of it, up to its final byte, is dropped as it comes.
    enum class Kind { Event, Drop, NeedMore, Overlong };
    Kind kind;
    size_t consumed = 0;
    InputEvent event{};
};

Step need_more() {
    return {Step::Kind::NeedMore};
}
Step drop(size_t bytes) {
    return {Step::Kind::Drop, bytes};
}
Step key(size_t bytes, KeyCode code, KeyModifiers modifiers = NO_MODIFIERS) {
    return {Step::Kind::Event, bytes, KeyEvent{code, modifiers}};
}

// Parameters of a CSI sequence: numbers between ';' (an empty field is 0),
// saturated so huge values cannot overflow. None when other bytes appear.
std::optional<std::vector<uint32_t>> parse_numbers(std::string_view text) {
    std::vector<uint32_t> numbers(1, 0);
    for (char c : text) {
        if (c == ';') {
            numbers.push_back(0);
        } else if (c >= '0' && c <= '9') {
            numbers.back() = std::min<uint32_t>(numbers.back() * 10 + uint32_t(c - '0'), 1'000'000);
        } else {
            return std::nullopt;
        }
    }
    return numbers;
}

// xterm's modifier parameter: 1 + bits (1 Shift, 2 Alt, 4 Ctrl).
KeyModifiers modifiers_from(uint32_t parameter) {
    if (parameter < 2) {
        return NO_MODIFIERS;
    }
    return {static_cast<uint8_t>((parameter - 1) & 7)};
}

std::optional<KeyCode> letter_key(char final) {
    switch (final) {
        case 'A':
            return Key::Up;
        case 'B':
            return Key::Down;
        case 'C':
            return Key::Right;
        case 'D':
            return Key::Left;
        case 'H':
            return Key::Home;
        case 'F':
            return Key::End;
        case 'P':
            return Key::F1;
        case 'Q':
            return Key::F2;
        case 'R':
            return Key::F3;
        case 'S':
            return Key::F4;
        default:
            return std::nullopt;
    }
}

std::optional<KeyCode> tilde_key(uint32_t number) {
    switch (number) {
        case 1:
        case 7:
            return Key::Home;
        case 2:
            return Key::Insert;
        case 3:
            return Key::Delete;
        case 4:
        case 8:
            return Key::End;
        case 5:
            return Key::PageUp;
        case 6:
            return Key::PageDown;
        case 11:
            return Key::F1;
        case 12:
            return Key::F2;
        case 13:
            return Key::F3;
        case 14:
            return Key::F4;
        case 15:
            return Key::F5;
        case 17:
            return Key::F6;
        case 18:
            return Key::F7;
        case 19:
            return Key::F8;
        case 20:
            return Key::F9;
        case 21:
            return Key::F10;
        case 23:
            return Key::F11;
        case 24:
            return Key::F12;
        default:
            return std::nullopt;
    }
}

Step mouse_step(size_t bytes, std::optional<MouseEvent> event) {
    if (!event) {
        return drop(bytes);
    }
    return {Step::Kind::Event, bytes, *event};
}

// A complete CSI sequence of `bytes` bytes with these parameter bytes and
// final byte (intermediate bytes make it unknown).
Step csi_event(size_t bytes, std::string_view parameters, bool intermediates, char final) {
    if (intermediates) {
        return drop(bytes);
    }
    if (!parameters.empty() && parameters.front() == '<') {
        auto numbers = parse_numbers(parameters.substr(1));
        if ((final != 'M' && final != 'm') || !numbers || numbers->size() != 3) {
            return drop(bytes);
        }
        return mouse_step(
            bytes, detail::mouse_event((*numbers)[0], (*numbers)[1], (*numbers)[2], final == 'm'));
    }
    auto numbers = parse_numbers(parameters);
    if (!numbers || numbers->size() > 3) {
        return drop(bytes);
    }
    const auto& n = *numbers;
    if (final == 'M' && n.size() == 3) {
        if (n[0] < 32) {
            return drop(bytes);
        }
        return mouse_step(bytes, detail::mouse_event(n[0] - 32, n[1], n[2], false));
    }
    if (n.size() > 2) {
        return drop(bytes);
    }
    const KeyModifiers modifiers = modifiers_from(n.size() == 2 ? n[1] : 0);
    if (final == '~') {
        auto code = tilde_key(n[0]);
        return code ? key(bytes, *code, modifiers) : drop(bytes);
    }
    if (final == 'Z' && (n.size() == 1 && n[0] <= 1)) {
        return key(bytes, Key::BackTab, SHIFT);
    }
    if (auto code = letter_key(final); code && (n[0] <= 1)) {
        return key(bytes, *code, modifiers);
    }
    return drop(bytes);
}

// `input` starts with ESC '['.
Step csi_step(std::string_view input) {
    if (input.size() == 2) {
        return need_more();
    }
    if (input[2] == 'M') {
        if (input.size() < 6) {
            return need_more();
        }
        const auto byte = [&](size_t i) { return static_cast<uint8_t>(input[i]); };
        if (byte(3) < 32 || byte(4) < 32 || byte(5) < 32) {
            return drop(6);
        }
        return mouse_step(6,
                          detail::mouse_event(byte(3) - 32u, byte(4) - 32u, byte(5) - 32u, false));
    }
    size_t end = 2;
    while (end < input.size() && input[end] >= 0x30 && input[end] <= 0x3F) {
        ++end;
    }
    const size_t parameters_end = end;
    while (end < input.size() && input[end] >= 0x20 && input[end] <= 0x2F) {
        ++end;
    }
    if (end - 2 > kMaxParameterBytes) {
        return {Step::Kind::Overlong, end};
    }
    if (end == input.size()) {
        return need_more();
    }
    const char final = input[end];
    if (final < 0x40 || final > 0x7E) {
        return drop(end);  // broken off by a byte that cannot end it; that byte starts anew
    }
    return csi_event(end + 1, input.substr(2, parameters_end - 2), end != parameters_end, final);
}

// `input` starts with ESC 'O'.
Step ss3_step(std::string_view input) {
    // Some terminals put the modifier parameter in SS3 too: ESC O 5 A.
    size_t end = 2;
    while (end < input.size() && end < 4 && input[end] >= '0' && input[end] <= '9') {
        ++end;
    }
    if (end == input.size()) {
        return need_more();
    }
    const char final = input[end];
    if (final < 0x40 || final > 0x7E) {
        return drop(end);
    }
    auto code = letter_key(final);
    const uint32_t modifier = end == 3 ? uint32_t(input[2] - '0') : 0;
    return code && end < 4 ? key(end + 1, *code, modifiers_from(modifier)) : drop(end + 1);
}

// A UTF-8 character at the front of `input` (its first byte is 0x80 or more).
Step utf8_step(std::string_view input) {
    const auto lead = static_cast<uint8_t>(input[0]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (input.size() < length) {
        const bool continuations = std::all_of(input.begin() + 1, input.end(), [](char c) {
            return (static_cast<uint8_t>(c) & 0xC0) == 0x80;
        });
        return continuations && length > 1 ? need_more() : drop(1);
    }
    utf8proc_int32_t value = 0;
    auto decoded = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(input.data()),
                                    static_cast<utf8proc_ssize_t>(length), &value);
    if (decoded != static_cast<utf8proc_ssize_t>(length) || value <= 0x9F) {
        return drop(1);  // not UTF-8, or a C1 control character
    }
    return key(length, static_cast<char32_t>(value));
}

// One key that is not introduced by ESC.
Step plain_step(std::string_view input) {
    const auto byte = static_cast<uint8_t>(input[0]);
    switch (byte) {
        case '\r':
        case '\n':
            return key(1, Key::Enter);
        case '\t':
            return key(1, Key::Tab);
        case 0x7F:
        case 0x08:
            return key(1, Key::Backspace);
        case 0x00:
            return key(1, U' ', CONTROL);
        default:
            break;
    }
    if (byte <= 0x1A) {
        return key(1, static_cast<char32_t>('a' + byte - 1), CONTROL);
    }
    if (byte < 0x20) {
        return drop(1);  // Ctrl with a digit or punctuation: nothing here uses it
    }
    if (byte < 0x80) {
        return key(1, static_cast<char32_t>(byte));
    }
    return utf8_step(input);
}

Step next_step(std::string_view input) {
    if (input[0] != kEsc) {
        return plain_step(input);
    }
    if (input.size() == 1) {
        return key(1, Key::Esc);  // a lone ESC ending the read: Esc at once
    }
    switch (input[1]) {
        case '[':
            return csi_step(input);
        case 'O':
            return ss3_step(input);
        case kEsc:
            return key(1, Key::Esc);
        default:
            break;
    }
    Step inner = plain_step(input.substr(1));
    if (inner.kind == Step::Kind::NeedMore) {
        return inner;
    }
    if (inner.kind == Step::Kind::Drop) {
        return drop(1 + inner.consumed);
    }
    auto& pressed = std::get<KeyEvent>(inner.event);
    pressed.modifiers = pressed.modifiers | ALT;
    inner.consumed += 1;
    return inner;
}

}  // namespace

void InputDecoder::feed(std::string_view bytes, std::vector<InputEvent>& events) {
    pending_.append(bytes);
    const std::string_view input = pending_;
    size_t position = 0;
    while (position < input.size()) {
        if (in_overlong_) {
            // Parameter and intermediate bytes go on; a final byte ends the
            // sequence; any other byte breaks it off and starts anew.
            const auto byte = static_cast<uint8_t>(input[position]);
            in_overlong_ = byte >= 0x20 && byte <= 0x3F;
            position += byte >= 0x20 && byte <= 0x7E ? 1 : 0;
            continue;
        }
        const Step step = next_step(input.substr(position));
        if (step.kind == Step::Kind::NeedMore) {
            break;
        }
        if (step.kind == Step::Kind::Event) {
            events.push_back(step.event);
        }
        in_overlong_ = step.kind == Step::Kind::Overlong;
        position += step.consumed;
    }
    pending_.erase(0, position);
}

}  // namespace bramwex::term
