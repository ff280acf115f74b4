// Global state, on purpose: the handler reaches only the wake pipe's write
// end.
#include "app/term/suspend_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

std::atomic<int> wake_write_fd{-1};

void on_signal(int signal) {
    const int saved_errno = errno;
    const char byte = static_cast<char>(signal);
    // A full pipe drops the byte: the ones in it still wake the app.
    [[maybe_unused]] auto ignored = ::write(wake_write_fd.load(), &byte, 1);
    errno = saved_errno;
}

struct sigaction handler_action() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return action;
}

}  // namespace

std::expected<std::unique_ptr<SuspendSignals>, std::error_code> SuspendSignals::install() {
    if (wake_write_fd.load() >= 0) {
        core::fatal("suspend signal handlers are already installed");
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) {
        return std::unexpected(std::error_code(errno, std::system_category()));
    }
    std::unique_ptr<SuspendSignals> signals(new SuspendSignals());
    signals->wake_read_.reset(ends[0]);
    signals->wake_write_.reset(ends[1]);
    wake_write_fd.store(ends[1]);
    const struct sigaction action = handler_action();
    ::sigaction(SIGTSTP, &action, &signals->previous_stop_);
    if (signals->previous_stop_.sa_handler == SIG_IGN) {
        ::sigaction(SIGTSTP, &signals->previous_stop_, nullptr);
    } else {
        signals->stop_handled_ = true;
    }
    ::sigaction(SIGCONT, &action, &signals->previous_continue_);
    return signals;
}

SuspendSignals::~SuspendSignals() {
    if (stop_handled_) {
        ::sigaction(SIGTSTP, &previous_stop_, nullptr);
    }
    ::sigaction(SIGCONT, &previous_continue_, nullptr);
    wake_write_fd.store(-1);
}

void SuspendSignals::stop_process() {
    if (!stop_handled_) {
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGTSTP, &fallback, nullptr);
    // Delivered to this thread before raise returns; the stop holds every
    // thread until SIGCONT.
    ::raise(SIGTSTP);
    const struct sigaction action = handler_action();
    ::sigaction(SIGTSTP, &action, nullptr);
}

}  // namespace bramwex::term
