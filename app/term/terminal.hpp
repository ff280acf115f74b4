// Taking the terminal over for a full-screen app and giving it back: raw
// modes, the alternate screen, a hidden cursor and mouse capture on the way
// in; the same undone in reverse order on the way out, exactly once, whether
// the way out is orderly, an exception, std::terminate or a fatal signal.
// A stop in between gives it back and takes it over again.
#pragma once

#include <termios.h>

#include <cerrno>
#include <expected>
#include <memory>
#include <string_view>
#include <system_error>

#include "app/term/crash_signals.hpp"
#include "app/term/terminal_size.hpp"
#include "core/base/fd.hpp"

namespace bramwex::term {

// Mouse capture: press and release, button drag, any motion, urxvt and SGR
// coordinates; off in the reverse order.
inline constexpr std::string_view kMouseCaptureOn =
    "\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h";
inline constexpr std::string_view kMouseCaptureOff =
    "\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l";
static_assert(kMouseCaptureOn.size() == 40 && kMouseCaptureOff.size() == 40);

inline constexpr std::string_view kEnterAlternateScreen = "\x1b[?1049h";
inline constexpr std::string_view kLeaveAlternateScreen = "\x1b[?1049l";
inline constexpr std::string_view kHideCursor = "\x1b[?25l";
inline constexpr std::string_view kShowCursor = "\x1b[?25h";
inline constexpr std::string_view kResetStyle = "\x1b[0m";

class Terminal {
  public:
    // The controlling terminal: standard input and output when both are
    // terminals, else /dev/tty. An error when there is none or it cannot be
    // set up (the app reports "failed to initialize terminal").
    static std::expected<Terminal, std::error_code> take_over();
    // The terminal on `tty_fd` (its modes), drawn through `output_fd`;
    // neither is owned.
    static std::expected<Terminal, std::error_code> take_over(int tty_fd, int output_fd);

    Terminal(Terminal&& other) noexcept;
    Terminal& operator=(Terminal&&) = delete;
    Terminal(const Terminal&) = delete;
    ~Terminal() { restore(); }

    // Where key bytes come from and frames go to.
    int input_fd() const { return tty_fd_; }
    int output_fd() const { return output_fd_; }
    std::expected<TerminalSize, std::error_code> size() const { return terminal_size(tty_fd_); }

    // Mouse capture off, cursor shown, main screen, modes as they were. Only
    // the first call (here, or from a signal or the terminate hook) writes.
    // The crash handlers installed on taking over are taken out again, so
    // call it on the thread that took the terminal over.
    void restore();

    // Gives the terminal back as restore() does, for a while (the app is
    // about to stop): resume() takes it over again.
    void suspend();
    // Takes the terminal over again after suspend(); without one, puts raw
    // mode and the screen modes in place once more (whatever ran while the
    // app was stopped may have changed them). Either way the screen's
    // content is unknown: the caller draws all of it. Restoring still puts
    // back the modes from before the first take-over.
    std::expected<void, std::error_code> resume();

  private:
    Terminal(core::UniqueFd owned, int tty_fd, int output_fd)
        : owned_(std::move(owned)), tty_fd_(tty_fd), output_fd_(output_fd) {}
    std::expected<void, std::error_code> enter();
    void arm();
    std::expected<void, std::error_code> set_modes();

    core::UniqueFd owned_;  // /dev/tty when opened here
    int tty_fd_;
    int output_fd_;
    termios saved_{};  // the modes before the take-over
    termios raw_{};
    bool active_ = false;
    bool suspended_ = false;
    std::unique_ptr<CrashSignals> crash_signals_;
};

// Whether a failure of the terminal (an errno, or 0 for its end of input)
// means that it went away, its other end closed: a hangup.
constexpr bool is_hangup(int error) {
    return error == 0 || error == EIO || error == ENXIO;
}

}  // namespace bramwex::term
