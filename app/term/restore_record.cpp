// Global state, on purpose: a signal handler can reach nothing else. The
// record is written only while disarmed and published by the state word.
#include "app/term/restore_record.hpp"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/term/write_all.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

constexpr size_t kMaxBytes = 256;

constexpr std::chrono::milliseconds kASecond{1000};

struct RestoreRecord {
    int output_fd = -1;
    int tty_fd = -1;
    termios saved{};
    char bytes[kMaxBytes] = {};
    size_t size = 0;
};

// Disarmed → armed → restoring → disarmed. A restore that is under way may
// never finish: a signal handler may have interrupted it on its own thread,
// or it waits on the terminal while another thread crashes.
enum class Restore : int { Disarmed, Armed, Restoring };

RestoreRecord record;
std::atomic<Restore> state{Restore::Disarmed};
static_assert(std::atomic<Restore>::is_always_lock_free);

std::terminate_handler previous_terminate = nullptr;
std::atomic<bool> terminate_installed{false};

[[noreturn]] void restore_then_terminate() {
    restore_terminal_now(OutputWait::ASecond);
    if (previous_terminate) {
        previous_terminate();
    }
    std::abort();
}

}  // namespace

void arm_restore(int output_fd, int tty_fd, const termios& saved, std::string_view bytes) {
    if (bytes.size() > kMaxBytes) {
        core::fatal("terminal restore sequence of {} bytes is too long", bytes.size());
    }
    if (state.load() != Restore::Disarmed) {
        core::fatal("the terminal is already taken over");
    }
    record.output_fd = output_fd;
    record.tty_fd = tty_fd;
    record.saved = saved;
    std::memcpy(record.bytes, bytes.data(), bytes.size());
    record.size = bytes.size();
    state.store(Restore::Armed);
}

bool restore_terminal_now(OutputWait wait) noexcept {
    Restore seen = Restore::Armed;
    const bool first = state.compare_exchange_strong(seen, Restore::Restoring);
    if (!first && seen != Restore::Restoring) {
        return false;
    }
    // A restore under way is done again rather than trusted to finish:
    // the sequences twice are harmless, a terminal left raw is not.
    const int saved_errno = errno;
    // Both steps run whatever the other did: a closed or stopped output must
    // not leave the tty in raw mode.
    if (wait == OutputWait::ASecond) {
        write_fully_within(record.output_fd, record.bytes, record.size, kASecond);
    } else {
        write_fully(record.output_fd, record.bytes, record.size);
    }
    ::tcsetattr(record.tty_fd, TCSANOW, &record.saved);
    errno = saved_errno;
    if (first) {
        state.store(Restore::Disarmed);
    }
    return true;
}

void restore_and_die(int signal) noexcept {
    restore_terminal_now(OutputWait::ASecond);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

void install_terminate_restore() {
    if (terminate_installed.exchange(true)) {
        return;
    }
    previous_terminate = std::set_terminate(restore_then_terminate);
}

}  // namespace bramwex::term
