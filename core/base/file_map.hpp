// A whole file mapped read-only and shared, unmapped when the owner goes.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/base/error.hpp"

namespace bramwex::core {

class FileMap {
  public:
    FileMap() = default;
    FileMap(FileMap&& other) noexcept;
    FileMap& operator=(FileMap&& other) noexcept;
    FileMap(const FileMap&) = delete;
    FileMap& operator=(const FileMap&) = delete;
    ~FileMap();

    // Maps size bytes of the open descriptor (1 byte when size is 0, since an
    // empty map is refused; bytes() stays empty). The descriptor can be
    // closed afterwards. The path only names the error.
    static Result<FileMap> map(int fd, size_t size, const std::string& path);

    // Page aligned, so a saved scan is read in place.
    std::span<const std::byte> bytes() const { return {data_, size_}; }

  private:
    FileMap(const std::byte* data, size_t size, size_t mapped)
        : data_(data), size_(size), mapped_(mapped) {}
    void release();

    const std::byte* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;
};

}  // namespace bramwex::core
