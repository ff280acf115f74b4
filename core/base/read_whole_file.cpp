#include "core/base/read_whole_file.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/base/eintr.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"
#include "core/base/open_regular_file.hpp"

namespace bramwex::core {

namespace {

constexpr size_t kMaxRead = 0x7fffffff;
constexpr size_t kMinSpare = 8192;

}  // namespace

Result<std::optional<AlignedBuffer>> read_whole_file(const std::string& path) {
    auto opened = open_regular_file(path);
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    if (!*opened) {
        return std::nullopt;
    }
    const UniqueFd& fd = (*opened)->fd;
    // The size is a hint: the file may grow or shrink while it is read.
    const size_t expected =
        (*opened)->info.st_size > 0 ? static_cast<size_t>((*opened)->info.st_size) : 0;
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
