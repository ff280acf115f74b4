// The SIGINT and SIGTERM handlers of `scan`: the first of them asks the scan
// to stop, a second one ends the process. They are in place only while the
// scan runs, so the interpreter that called the command line gets its own
// handlers back however the command ends. A stop signal that is ignored when
// the scan starts stays ignored.
#pragma once

#include <signal.h>

#include <atomic>

namespace bramwex::app {

class StopSignals {
  public:
    // Clears the word and installs the handlers, keeping the ones they replace.
    StopSignals();
    // Puts the replaced handlers back.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The word the handlers store the signal number into; 0 until a signal came.
    const std::atomic<int>& word() const;

  private:
    struct sigaction previous_[2];
};

}  // namespace bramwex::app
