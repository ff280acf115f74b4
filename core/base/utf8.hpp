// Lossy UTF-8: names are bytes as the file system gave them. Each maximal
// invalid subsequence becomes one U+FFFD, as the standard lossy conversion does.
#pragma once

#include <string>
#include <string_view>

namespace bramwex::core {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Calls on_valid(run) for each run of valid UTF-8 and on_invalid() for each
// maximal invalid subsequence, in order. Returns true when any was invalid.
template <class OnValid, class OnInvalid>
bool for_each_utf8_run(std::string_view bytes, OnValid&& on_valid, OnInvalid&& on_invalid);

// The bytes with every invalid subsequence replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view bytes, bool* lossy = nullptr);

// The bytes as lossy UTF-8 that is safe to print on a terminal: no name can
// move the cursor, retitle the window or forge a line. C0 controls and DEL
// become \t, \n, \r or \xHH, C1 controls \u{HH}, and the backslash itself
// \\, so an escape always reads differently from a name that spells one.
std::string escape_control_chars(std::string_view bytes);

namespace detail {
// Length of the valid sequence starting at bytes[i], or, negated, the length
// of the maximal invalid subsequence there (at least 1).
int utf8_sequence_at(std::string_view bytes, size_t i);
}  // namespace detail

template <class OnValid, class OnInvalid>
bool for_each_utf8_run(std::string_view bytes, OnValid&& on_valid, OnInvalid&& on_invalid) {
    bool lossy = false;
    size_t run_start = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const int length = detail::utf8_sequence_at(bytes, i);
        if (length > 0) {
            i += static_cast<size_t>(length);
            continue;
        }
        if (i > run_start) {
            on_valid(bytes.substr(run_start, i - run_start));
        }
        on_invalid();
        lossy = true;
        i += static_cast<size_t>(-length);
        run_start = i;
    }
    if (i > run_start) {
        on_valid(bytes.substr(run_start, i - run_start));
    }
    return lossy;
}

}  // namespace bramwex::core
