// The command line's log file: when BRAMWEX_LOG names a file, the engine's
// records up to Info are appended to it, one line each.
#pragma once

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "core/base/log.hpp"

namespace bramwex::app {

class FileLog : public core::log::Logger {
  public:
    explicit FileLog(std::FILE* file) : file_(file) {}
    ~FileLog() override;
    bool enabled(core::log::Level level, std::string_view target) const override;
    void log(core::log::Level level, std::string_view target, std::string_view message) override;
    void flush() override {}

  private:
    std::mutex mutex_;
    std::FILE* file_;
};

// "HH:MM:SSZ level message\n" for a time in seconds since the epoch (UTC).
std::string log_line(std::time_t now, core::log::Level level, std::string_view message);

// Opens BRAMWEX_LOG for appending and installs the FileLog; reports an open
// failure once on standard error and runs on without logging.
void init_log_file();

}  // namespace bramwex::app
