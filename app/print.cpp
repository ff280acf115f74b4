#include "app/print.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/base/error.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::app {

namespace {

// Returns 0 once everything is written, else the errno of the failed write.
int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

}  // namespace

void print_error(std::string_view message) {
    std::string line = "bramwex: ";
    line += message;
    line += '\n';
    write_all(STDERR_FILENO, line);  // nowhere left to report a failure
}

std::string shown_path(std::string_view path) {
    return core::escape_control_chars(path);
}

std::string error_with_path(const core::Error& error, std::string_view named) {
    if (error.path.empty() || error.path == named) {
        return error.to_string();
    }
    return shown_path(error.path) + ": " + error.to_string();
}

int write_stdout(std::string_view text) {
    const int error = write_all(STDOUT_FILENO, text);
    if (error == 0) {
        return 0;
    }
    if (error == EPIPE) {
        return 128 + SIGPIPE;
    }
    print_error("write error: " + core::Error::os(error, {}).to_string());
    return 1;
}

}  // namespace bramwex::app
