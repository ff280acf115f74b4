#include "app/print.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace bramwex::app {

namespace {

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // nowhere left to report it
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace

void print_error(std::string_view message) {
    std::string line = "bramwex: ";
    line += message;
    line += '\n';
    write_all(STDERR_FILENO, line);
}

void write_stdout(std::string_view text) {
    write_all(STDOUT_FILENO, text);
}

}  // namespace bramwex::app
