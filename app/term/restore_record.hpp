// The one record of how to put the terminal back, reachable from signal
// handlers and the terminate hook, and the async-signal-safe restore that
// uses it.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string_view>

namespace bramwex::term {

// Arms the record: restoring will write `bytes` to `output_fd`, then put the
// modes `saved` back on `tty_fd`. At most one record is armed at a time; arming over an armed
// one is a broken contract. `bytes` must fit 256 bytes.
void arm_restore(int output_fd, int tty_fd, const termios& saved, std::string_view bytes);

// How long a restore waits for an output that takes no bytes (XOFF).
enum class OutputWait : uint8_t {
    AsLongAsItTakes,  // leaving in order: a slow terminal still gets its modes
    ASecond,          // on the way out of a failure: a hang is worse than lost bytes
};

// Restores: the first call after arming writes the bytes and resets the
// terminal modes, and so does any call while a restore is under way (on
// another thread, or the one this call interrupts); later calls (until the
// next arming) do nothing. Returns whether this call restored.
// Async-signal-safe: only write, poll, fcntl, clock_gettime and tcsetattr
// on precomputed data.
bool restore_terminal_now(OutputWait wait = OutputWait::AsLongAsItTakes) noexcept;

// For a signal handler whose signal ends the process: restores (waiting a
// second at most for the output), gives the
// signal its default action back and raises it again. The raised signal is
// held until the handler returns and then ends the process as if no handler
// had been there (the same status, a core file where the signal makes one).
// A fault returning from the handler would fault again, and also meet the
// default action.
void restore_and_die(int signal) noexcept;

// Installs, once per process, a std::terminate handler that restores the
// terminal (waiting a second at most) before the previous handler runs (and
// aborts).
void install_terminate_restore();

}  // namespace bramwex::term
