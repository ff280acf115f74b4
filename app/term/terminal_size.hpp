// The size of a terminal as its driver reports it.
#pragma once

#include <cstdint>
#include <expected>
#include <system_error>

namespace bramwex::term {

struct TerminalSize {
    uint16_t columns = 0;
    uint16_t rows = 0;
    friend constexpr bool operator==(TerminalSize, TerminalSize) = default;
};

// TIOCGWINSZ on `fd`; an error when `fd` is not a terminal.
std::expected<TerminalSize, std::error_code> terminal_size(int fd);

}  // namespace bramwex::term
