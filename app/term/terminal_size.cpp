// The window-size query.
#include "app/term/terminal_size.hpp"

#include <sys/ioctl.h>

#include <cerrno>

#include "core/base/eintr.hpp"

namespace bramwex::term {

std::expected<TerminalSize, std::error_code> terminal_size(int fd) {
    winsize size{};
    if (core::sys::retry_on_eintr([&] { return ::ioctl(fd, TIOCGWINSZ, &size); }) < 0) {
        return std::unexpected(std::error_code(errno, std::system_category()));
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace bramwex::term
