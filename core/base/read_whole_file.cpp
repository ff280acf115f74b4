#include "core/base/read_whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base/eintr.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace bramwex::core {

namespace {

constexpr size_t kMaxRead = 0x7fffffff;
constexpr size_t kMinSpare = 8192;

}  // namespace

Result<AlignedBuffer> read_whole_file(const std::string& path) {
    if (has_nul_byte(path)) {
        return std::unexpected(Error::os(EINVAL, path));
    }
    const UniqueFd fd(
        sys::retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        return std::unexpected(Error::os(errno, path));
    }

    // The size is a hint: the file may grow or shrink while it is read.
    struct stat info {};
    size_t expected = 0;
    if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
        expected = static_cast<size_t>(info.st_size);
    }
    AlignedBuffer buffer;
    buffer.reserve(expected + 1);
    size_t filled = 0;
    for (;;) {
        if (buffer.size() - filled < 1) {
            buffer.resize(std::max(filled + kMinSpare, std::max(expected + 1, filled * 2)));
        }
        const size_t want = std::min(buffer.size() - filled, kMaxRead);
        const ssize_t got =
            sys::retry_on_eintr([&] { return ::read(fd.get(), buffer.data() + filled, want); });
        if (got < 0) {
            return std::unexpected(Error::os(errno, path));
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    buffer.resize(filled);
    return buffer;
}

}  // namespace bramwex::core
