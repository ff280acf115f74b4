#include "core/base/file_map.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace bramwex::core {

Result<FileMap> FileMap::map(int fd, size_t size, const std::string& path) {
    const size_t mapped = size == 0 ? 1 : size;
    void* data = ::mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        return std::unexpected(Error::os(errno, path));
    }
    return FileMap(static_cast<const std::byte*>(data), size, mapped);
}

FileMap::FileMap(FileMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

FileMap& FileMap::operator=(FileMap&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

FileMap::~FileMap() {
    release();
}

void FileMap::release() {
    if (data_ != nullptr) {
        ::munmap(const_cast<std::byte*>(data_), mapped_);
        data_ = nullptr;
    }
}

}  // namespace bramwex::core
