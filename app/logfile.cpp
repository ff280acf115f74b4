#include "app/logfile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "app/print.hpp"
#include "core/base/error.hpp"

namespace bramwex::app {

FileLog::~FileLog() {
    std::fclose(file_);
}

bool FileLog::enabled(core::log::Level level, std::string_view) const {
    return level <= core::log::Level::Info;
}

std::string log_line(std::time_t now, core::log::Level level, std::string_view message) {
    const int64_t seconds = now < 0 ? 0 : static_cast<int64_t>(now);
    const int64_t of_day = seconds % 86400;
    return fmt::format("{:02}:{:02}:{:02}Z {:5} {}\n", of_day / 3600, (of_day / 60) % 60,
                       of_day % 60, core::log::level_name(level), message);
}

void FileLog::log(core::log::Level level, std::string_view, std::string_view message) {
    if (level > core::log::Level::Info) {
        return;
    }
    const std::string line = log_line(std::time(nullptr), level, message);
    std::lock_guard lock(mutex_);
    // Unbuffered: each line reaches the file in one write; failures are ignored.
    std::fwrite(line.data(), 1, line.size(), file_);
}

void init_log_file() {
    const char* path = std::getenv("BRAMWEX_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        const core::Error error = core::Error::os(errno, {});
        print_error(fmt::format("cannot log to {}: {}", shown_path(path), error.to_string()));
        return;
    }
    std::FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        ::close(fd);
        return;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    if (core::log::set_logger(std::make_unique<FileLog>(file))) {
        core::log::set_max_level(core::log::Level::Info);
    }
}

}  // namespace bramwex::app
