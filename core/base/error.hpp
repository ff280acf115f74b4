// Failures as values: an operating-system error number with the path it
// concerns, or a plain message. Callers decide how to word and print them.
#pragma once

#include <cstring>
#include <expected>
#include <string>
#include <string_view>

namespace bramwex::core {

struct Error {
    int code = 0;         // errno; 0 when the failure is a plain message
    std::string path;     // the path the errno concerns (may be empty)
    std::string message;  // used when code is 0

    static Error os(int code, std::string path) { return Error{code, std::move(path), {}}; }
    static Error text(std::string message) { return Error{0, {}, std::move(message)}; }

    // "{strerror} (os error {code})" for OS errors, the message otherwise; the
    // caller puts the path in front where its message wants it.
    std::string to_string() const;
};

template <class T>
using Result = std::expected<T, Error>;

// A path with a NUL byte would be cut short by every system call; callers
// refuse it (EINVAL) instead of acting on a different file.
inline bool has_nul_byte(std::string_view path) {
    return path.find('\0') != std::string_view::npos;
}

}  // namespace bramwex::core
