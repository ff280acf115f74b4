// Writing a whole byte string to a descriptor through partial writes,
// interruptions and a full non-blocking descriptor.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string_view>
#include <system_error>

namespace bramwex::term {

// Async-signal-safe: only write and poll. False on failure, with errno set.
bool write_fully(int fd, const char* bytes, size_t size) noexcept;

// As write_fully, but gives up once `limit` has passed, false with errno
// ETIMEDOUT: the way out of a crash must not hang on a terminal that takes
// no output (XOFF). A blocking descriptor is non-blocking for the while, and
// blocking again afterwards, as others sharing it expect. Async-signal-safe:
// only write, poll, fcntl and clock_gettime.
bool write_fully_within(int fd, const char* bytes, size_t size,
                        std::chrono::milliseconds limit) noexcept;

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes);

}  // namespace bramwex::term
