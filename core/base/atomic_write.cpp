#include "core/base/atomic_write.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <utility>

#include "core/base/eintr.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core {

namespace {

// Larger writes are refused by some systems.
constexpr size_t kMaxWrite = 0x7fffffff;
constexpr std::string_view kSuffix = ".tmp";
// A random name taken already, again and again, means something else is wrong.
constexpr int kCreateAttempts = 16;

Result<void> write_all(int fd, const std::string& path, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const size_t piece = std::min(bytes.size(), kMaxWrite);
        const ssize_t written =
            sys::retry_on_eintr([&] { return ::write(fd, bytes.data(), piece); });
        if (written < 0) {
            return std::unexpected(Error::os(errno, path));
        }
        if (written == 0) {
            return std::unexpected(Error{0, path, "failed to write whole buffer"});
        }
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
    return {};
}

// A random suffix, so that a temporary name is never one a killed writer with
// the same process id (in another PID namespace, or long ago) left behind.
uint64_t random_suffix() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == sizeof value) {
        return value;
    }
    // No entropy yet (early boot): the clock differs from call to call, and a
    // name taken all the same is only tried again.
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Creates a new temporary file beside destination, under a name no file has.
Result<std::pair<UniqueFd, std::string>> create_temporary(const std::string& destination) {
    for (int attempt = 1;; ++attempt) {
        std::string temporary =
            fmt::format("{}.{}.{:016x}{}", destination, ::getpid(), random_suffix(), kSuffix);
        UniqueFd fd(sys::retry_on_eintr([&] {
            return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        }));
        if (fd) {
            return std::pair{std::move(fd), std::move(temporary)};
        }
        if (errno != EEXIST || attempt == kCreateAttempts) {
            return std::unexpected(Error::os(errno, std::move(temporary)));
        }
    }
}

Result<void> write_then_rename(UniqueFd fd, const std::string& temporary,
                               const std::string& destination, std::span<const std::byte> bytes) {
    Result<void> written = write_all(fd.get(), temporary, bytes);
    // A written file's close can report a lost write, so it is closed here and
    // checked. The descriptor is gone whatever close says; EINTR leaves nothing to retry.
    if (::close(fd.release()) != 0 && errno != EINTR && written) {
        written = std::unexpected(Error::os(errno, temporary));
    }
    if (!written) {
        return written;
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        return std::unexpected(Error::os(errno, destination));
    }
    return {};
}

bool all_of(std::string_view text, std::string_view allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// Splits "{rest}.{last}" at its last dot.
std::optional<std::pair<std::string_view, std::string_view>> split_last(std::string_view text) {
    const size_t dot = text.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return std::pair{text.substr(0, dot), text.substr(dot + 1)};
}

}  // namespace

Result<void> write_atomically(const std::string& destination, std::span<const std::byte> bytes) {
    if (has_nul_byte(destination)) {
        return std::unexpected(Error::os(EINVAL, destination));
    }
    auto created = create_temporary(destination);
    if (!created) {
        return std::unexpected(std::move(created.error()));
    }
    auto& [fd, temporary] = *created;
    Result<void> result = write_then_rename(std::move(fd), temporary, destination, bytes);
    if (!result) {
        ::unlink(temporary.c_str());
    }
    return result;
}

std::optional<TemporaryName> parse_temporary_name(std::string_view name) {
    if (!name.ends_with(kSuffix)) {
        return std::nullopt;
    }
    auto parts = split_last(name.substr(0, name.size() - kSuffix.size()));
    if (parts && parts->second.size() == 16 && all_of(parts->second, "0123456789abcdef")) {
        parts = split_last(parts->first);
    }
    pid_t pid = 0;
    if (!parts || !all_of(parts->second, "0123456789") ||
        std::from_chars(parts->second.data(), parts->second.data() + parts->second.size(), pid)
                .ec != std::errc() ||
        pid <= 0) {
        return std::nullopt;
    }
    return TemporaryName{parts->first, pid};
}

}  // namespace bramwex::core
