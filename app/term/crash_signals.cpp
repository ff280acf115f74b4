#include "app/term/crash_signals.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>

#include "app/term/restore_record.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
static_assert(std::size(kSignals) == 5);

// The handler needs little: a write, tcsetattr, sigaction and raise.
constexpr size_t kMinStackBytes = 64 * 1024;

std::atomic<bool> installed{false};

void on_crash(int signal) {
    restore_and_die(signal);
}

}  // namespace

CrashSignals::CrashSignals() {
    if (installed.exchange(true)) {
        core::fatal("crash signal handlers are already installed");
    }
    const size_t size = std::max(static_cast<size_t>(SIGSTKSZ), kMinStackBytes);
    stack_ = std::make_unique<char[]>(size);
    stack_t ours{};
    ours.ss_sp = stack_.get();
    ours.ss_size = size;
    // Without a stack of its own the handler still runs, only not after an
    // overflow.
    own_stack_ = ::sigaltstack(&ours, &previous_stack_) == 0;
    struct sigaction action {};
    action.sa_handler = on_crash;
    // Nothing else runs on the way out; a fault inside the handler meets
    // the default action at once.
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &previous_[i]);
    }
}

CrashSignals::~CrashSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    if (own_stack_) {
        ::sigaltstack(&previous_stack_, nullptr);
    }
    installed.store(false);
}

}  // namespace bramwex::term
