// The one owner of a file descriptor in bramwex: closes it exactly once, on
// every path out of a scope, exceptions included.
#pragma once

#include <unistd.h>

#include <utility>

namespace bramwex::core {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Gives up ownership: the caller closes the descriptor.
    int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor held (a close error has nothing to undo on a
    // read-only descriptor) and takes fd instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace bramwex::core
