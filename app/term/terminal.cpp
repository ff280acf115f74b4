// Raw mode through termios, screen modes through escape sequences.
#include "app/term/terminal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/term/restore_record.hpp"
#include "app/term/write_all.hpp"
#include "core/base/eintr.hpp"

namespace bramwex::term {
namespace {

std::error_code last_error() {
    return {errno, std::system_category()};
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string joined;
    for (auto part : parts) {
        joined += part;
    }
    return joined;
}

}  // namespace

std::expected<Terminal, std::error_code> Terminal::take_over() {
    if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)) {
        return take_over(STDIN_FILENO, STDOUT_FILENO);
    }
    core::UniqueFd tty(core::sys::retry_on_eintr(
        [] { return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }));
    if (!tty) {
        return std::unexpected(last_error());
    }
    const int fd = tty.get();
    Terminal terminal(std::move(tty), fd, fd);
    if (auto entered = terminal.enter(); !entered) {
        return std::unexpected(entered.error());
    }
    return terminal;
}

std::expected<Terminal, std::error_code> Terminal::take_over(int tty_fd, int output_fd) {
    Terminal terminal(core::UniqueFd(), tty_fd, output_fd);
    if (auto entered = terminal.enter(); !entered) {
        return std::unexpected(entered.error());
    }
    return terminal;
}

Terminal::Terminal(Terminal&& other) noexcept
    : owned_(std::move(other.owned_)),
      tty_fd_(other.tty_fd_),
      output_fd_(other.output_fd_),
      saved_(other.saved_),
      raw_(other.raw_),
      active_(std::exchange(other.active_, false)),
      suspended_(std::exchange(other.suspended_, false)),
      crash_signals_(std::move(other.crash_signals_)) {}

std::expected<void, std::error_code> Terminal::enter() {
    if (::tcgetattr(tty_fd_, &saved_) < 0) {
        return std::unexpected(last_error());
    }
    raw_ = saved_;
    ::cfmakeraw(&raw_);
    raw_.c_cc[VMIN] = 1;
    raw_.c_cc[VTIME] = 0;
    // Armed before anything changes, so that a signal in between still puts
    // back whatever was done.
    arm();
    active_ = true;
    install_terminate_restore();
    crash_signals_ = std::make_unique<CrashSignals>();
    if (auto set = set_modes(); !set) {
        restore();
        return set;
    }
    return {};
}

void Terminal::arm() {
    arm_restore(output_fd_, tty_fd_, saved_,
                join({kMouseCaptureOff, kResetStyle, kShowCursor, kLeaveAlternateScreen}));
}

std::expected<void, std::error_code> Terminal::set_modes() {
    if (core::sys::retry_on_eintr([&] { return ::tcsetattr(tty_fd_, TCSANOW, &raw_); }) < 0) {
        return std::unexpected(last_error());
    }
    return write_all(output_fd_, join({kEnterAlternateScreen, kHideCursor, kMouseCaptureOn}));
}

void Terminal::restore() {
    if (std::exchange(active_, false)) {
        // Restored first: a crash in between finds nothing left to do.
        restore_terminal_now();
        crash_signals_.reset();
        suspended_ = false;
    }
}

void Terminal::suspend() {
    if (active_ && !suspended_) {
        restore_terminal_now();
        suspended_ = true;
    }
}

std::expected<void, std::error_code> Terminal::resume() {
    if (!active_) {
        return {};
    }
    if (std::exchange(suspended_, false)) {
        arm();
    }
    return set_modes();
}

}  // namespace bramwex::term
