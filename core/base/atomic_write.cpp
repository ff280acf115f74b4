#include "core/base/atomic_write.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "core/base/eintr.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core {

namespace {

// Larger writes are refused by some systems.
constexpr size_t kMaxWrite = 0x7fffffff;

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

Result<void> write_then_rename(const std::string& temporary, const std::string& destination,
                               std::span<const std::byte> bytes) {
    UniqueFd fd(sys::retry_on_eintr(
        [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (!fd) {
        return std::unexpected(Error::os(errno, temporary));
    }
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

std::mutex& write_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string temporary_name_for(const std::string& destination) {
    return fmt::format("{}.{}.tmp", destination, ::getpid());
}

Result<void> write_atomically(const std::string& destination, std::span<const std::byte> bytes) {
    if (has_nul_byte(destination)) {
        return std::unexpected(Error::os(EINVAL, destination));
    }
    const std::lock_guard lock(write_mutex());
    const std::string temporary = temporary_name_for(destination);
    Result<void> result = write_then_rename(temporary, destination, bytes);
    if (!result) {
        // A stale temporary from an earlier failure goes too, so the next save works.
        ::unlink(temporary.c_str());
    }
    return result;
}

}  // namespace bramwex::core
