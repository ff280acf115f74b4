// The signals of job control: SIGTSTP asks a full-screen app to give the
// terminal back and stop, SIGCONT tells it that it runs again. The handlers
// only make a descriptor readable; the app, which owns every write to the
// terminal, gives it back, stops and takes it over again on its own thread,
// so no frame is ever cut by a stop.
#pragma once

#include <signal.h>

#include <expected>
#include <memory>
#include <system_error>

#include "core/base/fd.hpp"

namespace bramwex::term {

class SuspendSignals {
  public:
    // Installs the handlers; at most one SuspendSignals lives at a time. A
    // SIGTSTP ignored on entry stays ignored (nothing may stop the app then).
    static std::expected<std::unique_ptr<SuspendSignals>, std::error_code> install();

    SuspendSignals(const SuspendSignals&) = delete;
    SuspendSignals& operator=(const SuspendSignals&) = delete;
    // The handlers that were there before come back.
    ~SuspendSignals();

    // Readable after each SIGTSTP or SIGCONT: one byte per signal, its number.
    int wake_fd() const { return wake_read_.get(); }

    // Stops the process as SIGTSTP would without a handler, and returns once
    // it is continued; at once where the process group is orphaned (no shell
    // could continue it, so the kernel does not stop it) or SIGTSTP was
    // ignored on entry.
    void stop_process();

  private:
    SuspendSignals() = default;

    core::UniqueFd wake_read_;
    core::UniqueFd wake_write_;
    struct sigaction previous_stop_ = {};
    struct sigaction previous_continue_ = {};
    bool stop_handled_ = false;
};

}  // namespace bramwex::term
