#include "app/stop_signals.hpp"

#include "core/base/fatal.hpp"

namespace bramwex::app {

namespace {

// The word the signal handlers write; a handler may only store into it.
std::atomic<int> received_signal{0};

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

// Which of kStopSignals have the handler; written only while neither has it.
std::atomic<bool> handled[std::size(kStopSignals)];
static_assert(std::atomic<bool>::is_always_lock_free);

// The first stop signal asks the scan to stop; the handler then gives the
// signals it handles their default action back, so a second one ends the
// process at once, killed by that signal as any command without a handler
// would be.
extern "C" void store_signal(int number) {
    received_signal.store(number, std::memory_order_relaxed);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (size_t k = 0; k < std::size(kStopSignals); ++k) {
        if (handled[k].load()) {
            ::sigaction(kStopSignals[k], &fallback, nullptr);  // async-signal-safe
        }
    }
}

}  // namespace

StopSignals::StopSignals() {
    // Cleared first, so a signal that arrives once the handlers are in is
    // never lost.
    received_signal.store(0, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = store_signal;
    sigemptyset(&action.sa_mask);
    for (const int stop : kStopSignals) {
        sigaddset(&action.sa_mask, stop);  // one handler at a time
    }
    action.sa_flags = SA_RESTART;
    // A signal ignored from the start stays ignored: a shell starts its
    // background jobs so, and the Ctrl-C meant for the job in front must not
    // stop this one. All are looked at before any handler goes in, which
    // reads the result.
    for (size_t k = 0; k < std::size(kStopSignals); ++k) {
        if (::sigaction(kStopSignals[k], nullptr, &previous_[k]) != 0) {
            core::fatal("cannot read the handler of signal {}", kStopSignals[k]);
        }
        handled[k].store(previous_[k].sa_handler != SIG_IGN);
    }
    for (size_t k = 0; k < std::size(kStopSignals); ++k) {
        if (handled[k].load() && ::sigaction(kStopSignals[k], &action, nullptr) != 0) {
            while (k-- > 0) {
                ::sigaction(kStopSignals[k], &previous_[k], nullptr);
            }
            core::fatal("cannot install the handler of signal {}", kStopSignals[k]);
        }
    }
}

StopSignals::~StopSignals() {
    for (size_t k = 0; k < std::size(kStopSignals); ++k) {
        if (handled[k].load()) {
            ::sigaction(kStopSignals[k], &previous_[k], nullptr);
        }
    }
}

const std::atomic<int>& StopSignals::word() const {
    return received_signal;
}

}  // namespace bramwex::app
