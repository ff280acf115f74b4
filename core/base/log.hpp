// The engine's log facade: records of (level, target, message) go to the one
// logger installed in the process (the first one installed wins) — the
// command line's log file, or the Python logging bridge.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <string_view>

namespace bramwex::core::log {

enum class Level { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Lower-case level name: "error", "warn", "info", "debug", "trace".
std::string_view level_name(Level level);

class Logger {
  public:
    virtual ~Logger() = default;
    virtual bool enabled(Level level, std::string_view target) const = 0;
    virtual void log(Level level, std::string_view target, std::string_view message) = 0;
    virtual void flush() = 0;
};

// Installs the process's logger; false (and the logger is dropped) when one
// was installed before.
bool set_logger(std::unique_ptr<Logger> logger);
void set_max_level(Level level);

// Whether a record of this level would reach a logger at all.
bool would_log(Level level);
void write(Level level, std::string_view target, std::string_view message);

template <class... Args>
void record(Level level, std::string_view target, fmt::format_string<Args...> format,
            Args&&... args) {
    if (would_log(level)) {
        write(level, target, fmt::format(format, std::forward<Args>(args)...));
    }
}

}  // namespace bramwex::core::log
