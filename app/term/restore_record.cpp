// Global state, on purpose: a signal handler can reach nothing else. The
// record is written only while disarmed and published by the atomic flag.
#include "app/term/restore_record.hpp"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/term/write_all.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

constexpr size_t kMaxBytes = 256;

struct RestoreRecord {
    int output_fd = -1;
    int tty_fd = -1;
    termios saved{};
    char bytes[kMaxBytes] = {};
    size_t size = 0;
};

RestoreRecord record;
std::atomic<bool> armed{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::terminate_handler previous_terminate = nullptr;
std::atomic<bool> terminate_installed{false};

[[noreturn]] void restore_then_terminate() {
    restore_terminal_now();
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
    if (armed.load()) {
        core::fatal("the terminal is already taken over");
    }
    record.output_fd = output_fd;
    record.tty_fd = tty_fd;
    record.saved = saved;
    std::memcpy(record.bytes, bytes.data(), bytes.size());
    record.size = bytes.size();
    armed.store(true);
}

bool restore_terminal_now() noexcept {
    if (!armed.exchange(false)) {
        return false;
    }
    const int saved_errno = errno;
    // Both steps run whatever the other did: a closed output must not leave
    // the tty in raw mode.
    write_fully(record.output_fd, record.bytes, record.size);
    ::tcsetattr(record.tty_fd, TCSANOW, &record.saved);
    errno = saved_errno;
    return true;
}

void restore_and_die(int signal) noexcept {
    restore_terminal_now();
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
