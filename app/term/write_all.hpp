// Writing a whole byte string to a descriptor through partial writes,
// interruptions and a full non-blocking descriptor.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>
#include <system_error>

namespace bramwex::term {

// Async-signal-safe: only write and poll. False on failure, with errno set.
bool write_fully(int fd, const char* bytes, size_t size) noexcept;

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes);

}  // namespace bramwex::term
