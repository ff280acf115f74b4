#include "app/uncaught.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "app/term/restore_record.hpp"
#include "app/term/write_all.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::app {

namespace {

constexpr std::string_view kOutOfMemory = "bramwex: out of memory\n";

// Nothing here may allocate: memory is what ran out. A failure is ignored:
// there is nowhere left to report it.
void write_stderr(std::string_view text) noexcept {
    term::write_fully(STDERR_FILENO, text.data(), text.size());
}

// Lets the first thread through to end the process; any later one waits for
// the end. Out of memory and terminate each have their own flag: reporting an
// uncaught exception may itself run out of memory, and that must still end.
void let_only_the_first_through(std::atomic_flag& ending) noexcept {
    if (ending.test_and_set()) {
        for (;;) {
            ::pause();
        }
    }
}

void report_line(std::string_view what) noexcept {
    try {
        // An exception's text may quote a file name; none reaches the terminal raw.
        write_stderr("bramwex: " + core::escape_control_chars(what) + "\n");
    } catch (...) {
        write_stderr(kOutOfMemory);
    }
}

}  // namespace

void exit_out_of_memory() noexcept {
    // Several threads may run out at once.
    static std::atomic_flag ending = ATOMIC_FLAG_INIT;
    let_only_the_first_through(ending);
    term::restore_terminal_now(term::OutputWait::ASecond);
    write_stderr(kOutOfMemory);
    ::_exit(1);
}

OutOfMemoryExit::OutOfMemoryExit() : previous_(std::set_new_handler(exit_out_of_memory)) {}

OutOfMemoryExit::~OutOfMemoryExit() {
    std::set_new_handler(previous_);
}

int report_uncaught_exception() noexcept {
    term::restore_terminal_now(term::OutputWait::ASecond);
    try {
        throw;
    } catch (const std::bad_alloc&) {
        write_stderr(kOutOfMemory);
    } catch (const std::exception& failure) {
        report_line(failure.what());
    } catch (...) {
        report_line("unknown failure");
    }
    return 1;
}

void exit_on_terminate() noexcept {
    static std::atomic_flag ending = ATOMIC_FLAG_INIT;
    let_only_the_first_through(ending);
    if (std::current_exception()) {
        ::_exit(report_uncaught_exception());
    }
    term::restore_terminal_now(term::OutputWait::ASecond);
    std::abort();
}

}  // namespace bramwex::app
