// The signals that end a full-screen app. SIGTERM and SIGHUP ask it to leave
// in order: the first one only makes a descriptor readable, which the app
// polls. A second one, or SIGQUIT or SIGINT (raw mode turns the keys off, so
// these come from outside), restores the terminal at once and ends the
// process as the signal's default action would. A signal ignored when the
// handlers go in stays ignored.
#pragma once

#include <signal.h>

#include <expected>
#include <memory>
#include <optional>
#include <system_error>

#include "core/base/fd.hpp"

namespace bramwex::term {

class ExitSignals {
  public:
    // Installs the handlers; at most one ExitSignals lives at a time.
    static std::expected<std::unique_ptr<ExitSignals>, std::error_code> install();

    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;
    // The handlers that were there before come back.
    ~ExitSignals();

    // Readable once SIGTERM or SIGHUP has arrived.
    int wake_fd() const { return wake_read_.get(); }
    // SIGTERM or SIGHUP, whichever came first; none before either did.
    std::optional<int> received() const;

  private:
    ExitSignals() = default;

    core::UniqueFd wake_read_;
    core::UniqueFd wake_write_;
    struct sigaction previous_[4] = {};
};

}  // namespace bramwex::term
