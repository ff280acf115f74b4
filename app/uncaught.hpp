// The command line's last word on failures nothing below it handled: running
// out of memory, and any exception that reaches the top of the command.
#pragma once

#include <new>

namespace bramwex::app {

// The new-handler of the command line: puts the terminal back if the browser
// has it, prints "bramwex: out of memory" and ends the process with status 1.
[[noreturn]] void exit_out_of_memory() noexcept;

// While alive, a failed allocation ends the process at once: the terminal is
// put back if the browser has it, "bramwex: out of memory" goes to standard
// error, and the status is 1. Unwinding instead is not safe: a hash table
// whose growth failed half-way cannot even be destroyed.
class OutOfMemoryExit {
  public:
    OutOfMemoryExit();
    OutOfMemoryExit(const OutOfMemoryExit&) = delete;
    OutOfMemoryExit& operator=(const OutOfMemoryExit&) = delete;
    ~OutOfMemoryExit();

  private:
    std::new_handler previous_;
};

// Call only from a catch block: prints one line naming the exception being
// handled ("bramwex: out of memory" for a failed allocation) after putting the
// terminal back, and returns the exit status, 1.
int report_uncaught_exception() noexcept;

// The terminate handler of the command line. An exception thrown on a thread
// no code of ours runs (the pool starts its workers from its own threads, and
// one that cannot start throws there) ends as any uncaught exception does:
// one line and status 1, never an abort. Without an exception it aborts.
[[noreturn]] void exit_on_terminate() noexcept;

}  // namespace bramwex::app
