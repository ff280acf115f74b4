#include "core/base/log.hpp"

#include <atomic>
#include <mutex>

namespace bramwex::core::log {

namespace {

// The facade's process-wide state: the installed logger is set once and kept
// for the life of the process, so records never race its destruction.
std::once_flag installed;
std::atomic<Logger*> global_logger{nullptr};
std::atomic<int> max_level{0};  // nothing passes until a level is set

}  // namespace

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error:
            return "error";
        case Level::Warn:
            return "warn";
        case Level::Info:
            return "info";
        case Level::Debug:
            return "debug";
        case Level::Trace:
            return "trace";
    }
    return "trace";
}

bool set_logger(std::unique_ptr<Logger> logger) {
    bool accepted = false;
    std::call_once(installed, [&] {
        global_logger.store(logger.release(), std::memory_order_release);
        accepted = true;
    });
    return accepted;
}

void set_max_level(Level level) {
    max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

bool would_log(Level level) {
    return static_cast<int>(level) <= max_level.load(std::memory_order_relaxed) &&
           global_logger.load(std::memory_order_acquire) != nullptr;
}

void write(Level level, std::string_view target, std::string_view message) {
    Logger* logger = global_logger.load(std::memory_order_acquire);
    if (logger != nullptr && would_log(level) && logger->enabled(level, target)) {
        logger->log(level, target, message);
    }
}

}  // namespace bramwex::core::log
