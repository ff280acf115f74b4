// poll() over the terminal, the SIGWINCH pipe, the signal wakes and the stop
// pipe.
#include "app/term/input_reader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "app/term/input_decoder.hpp"
#include "app/term/terminal_size.hpp"
#include "core/base/eintr.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::term {
namespace {

// Global state, on purpose: the SIGWINCH handler can reach nothing else.
std::atomic<int> winch_write_fd{-1};

void on_window_change(int) {
    const int saved_errno = errno;
    const char byte = 1;
    [[maybe_unused]] auto ignored = ::write(winch_write_fd.load(), &byte, 1);
    errno = saved_errno;
}

std::error_code last_error() {
    return {errno, std::system_category()};
}

bool make_pipe(core::UniqueFd& read_end, core::UniqueFd& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) {
        return false;
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

void drain(int fd) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

std::expected<std::unique_ptr<InputReader>, std::error_code> InputReader::start(
    int tty_fd, Callback callback, int exit_wake_fd, int suspend_wake_fd) {
    if (winch_write_fd.load() >= 0) {
        core::fatal("an input reader is already running");
    }
    std::unique_ptr<InputReader> reader(new InputReader());
    if (!make_pipe(reader->stop_read_, reader->stop_write_) ||
        !make_pipe(reader->winch_read_, reader->winch_write_)) {
        return std::unexpected(last_error());
    }
    winch_write_fd.store(reader->winch_write_.get());
    struct sigaction action {};
    action.sa_handler = on_window_change;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, &reader->previous_winch_);
    try {
        reader->thread_ = std::thread([raw = reader.get(), tty_fd, exit_wake_fd, suspend_wake_fd,
                                       callback = std::move(callback)] {
            raw->run(tty_fd, exit_wake_fd, suspend_wake_fd, callback);
        });
    } catch (const std::system_error&) {
        ::sigaction(SIGWINCH, &reader->previous_winch_, nullptr);
        winch_write_fd.store(-1);
        core::fatal("failed to spawn thread");
    }
    return reader;
}

void InputReader::stop() {
    if (std::exchange(stopped_, true)) {
        return;
    }
    const char byte = 1;
    [[maybe_unused]] auto ignored = ::write(stop_write_.get(), &byte, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    ::sigaction(SIGWINCH, &previous_winch_, nullptr);
    winch_write_fd.store(-1);
}

void InputReader::run(int tty_fd, int exit_wake_fd, int suspend_wake_fd, const Callback& callback) {
    InputDecoder decoder;
    std::vector<InputEvent> events;
    char bytes[4096];
    // A negative descriptor is skipped by poll.
    pollfd watched[5] = {{stop_read_.get(), POLLIN, 0},
                         {winch_read_.get(), POLLIN, 0},
                         {tty_fd, POLLIN, 0},
                         {exit_wake_fd, POLLIN, 0},
                         {suspend_wake_fd, POLLIN, 0}};
    for (;;) {
        if (core::sys::retry_on_eintr([&] { return ::poll(watched, 5, -1); }) < 0) {
            callback(InputEnded{errno});
            return;
        }
        if (watched[3].revents) {
            watched[3].fd = -1;  // one request is enough; later signals end the process
            callback(ExitRequested{});
        }
        if (watched[0].revents) {
            return;
        }
        if (watched[4].revents & POLLIN) {
            char signals[16];
            const ssize_t got = ::read(suspend_wake_fd, signals, sizeof signals);
            for (ssize_t i = 0; i < got; ++i) {
                if (signals[i] == SIGTSTP) {
                    callback(StopRequested{});
                } else if (signals[i] == SIGCONT) {
                    callback(Continued{});
                }
            }
        }
        if (watched[1].revents & POLLIN) {
            drain(winch_read_.get());
            if (auto size = terminal_size(tty_fd)) {
                callback(Resize{size->columns, size->rows});
            }
        }
        if (watched[2].revents) {
            const ssize_t got =
                core::sys::retry_on_eintr([&] { return ::read(tty_fd, bytes, sizeof bytes); });
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    continue;
                }
                callback(InputEnded{got == 0 ? 0 : errno});
                return;
            }
            events.clear();
            decoder.feed(std::string_view(bytes, static_cast<size_t>(got)), events);
            for (auto& event : events) {
                callback(std::move(event));
            }
        }
    }
}

}  // namespace bramwex::term
