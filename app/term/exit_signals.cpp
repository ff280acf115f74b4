// Global state, on purpose: the handlers reach only these atomics (the
// wake pipe's write end and what arrived) and the restore record.
#include "app/term/exit_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "app/term/restore_record.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};

std::atomic<int> wake_write_fd{-1};
std::atomic<int> first_exit_signal{0};
std::atomic<int> exit_requests{0};

void on_signal(int signal) {
    if (signal == SIGTERM || signal == SIGHUP) {
        if (exit_requests.fetch_add(1) == 0) {
            const int saved_errno = errno;
            first_exit_signal.store(signal);
            const char byte = 1;
            [[maybe_unused]] auto ignored = ::write(wake_write_fd.load(), &byte, 1);
            errno = saved_errno;
            return;
        }
    }
    restore_and_die(signal);
}

}  // namespace

std::expected<std::unique_ptr<ExitSignals>, std::error_code> ExitSignals::install() {
    if (wake_write_fd.load() >= 0) {
        core::fatal("exit signal handlers are already installed");
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) {
        return std::unexpected(std::error_code(errno, std::system_category()));
    }
    std::unique_ptr<ExitSignals> signals(new ExitSignals());
    signals->wake_read_.reset(ends[0]);
    signals->wake_write_.reset(ends[1]);
    first_exit_signal.store(0);
    exit_requests.store(0);
    wake_write_fd.store(ends[1]);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        // One ignored from the start stays ignored, as in `scan`; nohup and
        // a shell's background jobs start programs so.
        ::sigaction(kSignals[i], nullptr, &signals->previous_[i]);
        if (signals->previous_[i].sa_handler != SIG_IGN) {
            ::sigaction(kSignals[i], &action, nullptr);
        }
    }
    return signals;
}

ExitSignals::~ExitSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    wake_write_fd.store(-1);
}

std::optional<int> ExitSignals::received() const {
    const int signal = first_exit_signal.load();
    return signal == 0 ? std::nullopt : std::optional(signal);
}

}  // namespace bramwex::term
