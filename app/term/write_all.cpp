// The write loop every terminal output goes through.
#include "app/term/write_all.hpp"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace bramwex::term {
namespace {

constexpr int64_t kNoDeadline = -1;

int64_t now_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

// What poll may wait for a descriptor to take more: until the deadline, or
// for ever without one; 0 once it has passed.
int wait_ms(int64_t deadline) noexcept {
    if (deadline == kNoDeadline) {
        return -1;
    }
    const int64_t left = deadline - now_ms();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool write_until(int fd, const char* bytes, size_t size, int64_t deadline) noexcept {
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                const int wait = wait_ms(deadline);
                if (wait == 0) {
                    errno = ETIMEDOUT;
                    return false;
                }
                pollfd ready{fd, POLLOUT, 0};
                if (::poll(&ready, 1, wait) < 0 && errno != EINTR) {
                    return false;
                }
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool write_fully(int fd, const char* bytes, size_t size) noexcept {
    return write_until(fd, bytes, size, kNoDeadline);
}

bool write_fully_within(int fd, const char* bytes, size_t size,
                        std::chrono::milliseconds limit) noexcept {
    const int64_t deadline = now_ms() + limit.count();
    // A blocking write would wait in the kernel, past any deadline.
    const int flags = ::fcntl(fd, F_GETFL);
    const bool switched =
        flags >= 0 && (flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    const bool done = write_until(fd, bytes, size, deadline);
    if (switched) {
        const int saved_errno = errno;
        ::fcntl(fd, F_SETFL, flags);
        errno = saved_errno;
    }
    return done;
}

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes) {
    if (!write_fully(fd, bytes.data(), bytes.size())) {
        return std::unexpected(std::error_code(errno, std::system_category()));
    }
    return {};
}

}  // namespace bramwex::term
