// The write loop every terminal output goes through.
#include "app/term/write_all.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace bramwex::term {

bool write_fully(int fd, const char* bytes, size_t size) noexcept {
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd wait{fd, POLLOUT, 0};
                if (::poll(&wait, 1, -1) < 0 && errno != EINTR) {
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

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes) {
    if (!write_fully(fd, bytes.data(), bytes.size())) {
        return std::unexpected(std::error_code(errno, std::system_category()));
    }
    return {};
}

}  // namespace bramwex::term
