#include "core/base/open_regular_file.hpp"

#include <fcntl.h>

#include <cerrno>

#include "core/base/eintr.hpp"

namespace bramwex::core {

Result<std::optional<RegularFile>> open_regular_file(const std::string& path) {
    if (has_nul_byte(path)) {
        return std::unexpected(Error::os(EINVAL, path));
    }
    // O_NONBLOCK: the open of a FIFO would wait for a writer. It does not
    // change how a regular file reads.
    RegularFile file{UniqueFd(sys::retry_on_eintr([&] {
                         return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
                     })),
                     {}};
    if (!file.fd) {
        // A socket or a device without a driver.
        if (errno == ENXIO || errno == ENODEV) {
            return std::nullopt;
        }
        return std::unexpected(Error::os(errno, path));
    }
    if (::fstat(file.fd.get(), &file.info) != 0) {
        return std::unexpected(Error::os(errno, path));
    }
    if (S_ISDIR(file.info.st_mode)) {
        return std::unexpected(Error::os(EISDIR, path));
    }
    if (!S_ISREG(file.info.st_mode)) {
        return std::nullopt;
    }
    return file;
}

}  // namespace bramwex::core
