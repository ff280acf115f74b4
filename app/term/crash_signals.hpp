// The signals of a crash: SIGSEGV, SIGABRT, SIGBUS, SIGFPE and SIGILL. While
// the terminal is taken over, each of them first puts the terminal back from
// the restore record, then ends the process as it would have ended without
// a handler, so the exit status and the core file stay what they were.
#pragma once

#include <signal.h>

#include <memory>

namespace bramwex::term {

class CrashSignals {
  public:
    // Installs the handlers, and a stack of their own for the calling thread
    // so that a stack overflow there still restores. At most one lives at a
    // time, and it is destroyed on the thread that made it.
    CrashSignals();
    CrashSignals(const CrashSignals&) = delete;
    CrashSignals& operator=(const CrashSignals&) = delete;
    // The handlers and the signal stack that were there before come back.
    ~CrashSignals();

  private:
    struct sigaction previous_[5] = {};
    stack_t previous_stack_{};
    bool own_stack_ = false;
    std::unique_ptr<char[]> stack_;
};

}  // namespace bramwex::term
