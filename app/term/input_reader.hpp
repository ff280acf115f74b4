// The input thread: reads the terminal, decodes its bytes and hands each
// event to a callback; a window-size change becomes a Resize event, an exit
// signal an ExitRequested event, SIGTSTP and SIGCONT StopRequested and
// Continued events, and the terminal's end an InputEnded event.
//
// Threads: the callback runs on the reader's own thread, one event at a
// time; everything else is called from the thread that started the reader.
#pragma once

#include <signal.h>

#include <expected>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "app/term/events.hpp"
#include "core/base/fd.hpp"

namespace bramwex::term {

class InputReader {
  public:
    using Callback = std::function<void(InputEvent)>;

    // Installs the SIGWINCH handler and starts the thread reading `tty_fd`.
    // When `exit_wake_fd` (ExitSignals::wake_fd) is given, its first wake
    // becomes one ExitRequested event, so the app's wait ends at once; each
    // byte on `suspend_wake_fd` (SuspendSignals::wake_fd) becomes the event
    // of its signal. At most one reader runs at a time. The thread ends by
    // itself after InputEnded, when the terminal reports the end of input or
    // an error.
    static std::expected<std::unique_ptr<InputReader>, std::error_code> start(
        int tty_fd, Callback callback, int exit_wake_fd = -1, int suspend_wake_fd = -1);

    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;
    ~InputReader() { stop(); }

    // Ends the thread and waits for it; the SIGWINCH handler that was there
    // before comes back. A second call does nothing.
    void stop();

  private:
    InputReader() = default;
    void run(int tty_fd, int exit_wake_fd, int suspend_wake_fd, const Callback& callback);

    core::UniqueFd stop_read_;
    core::UniqueFd stop_write_;
    core::UniqueFd winch_read_;
    core::UniqueFd winch_write_;
    struct sigaction previous_winch_ = {};
    std::thread thread_;
    bool stopped_ = false;
};

}  // namespace bramwex::term
