// A growable byte buffer whose first byte sits on a 16-byte boundary, so a
// saved scan built or read into it can be read in place: every array in the
// file is aligned to its element size relative to the file's start.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace bramwex::core {

class AlignedBuffer {
  public:
    static constexpr size_t kAlignment = 16;

    AlignedBuffer() = default;
    explicit AlignedBuffer(size_t size) { resize(size); }

    std::byte* data() { return reinterpret_cast<std::byte*>(blocks_.data()); }
    const std::byte* data() const { return reinterpret_cast<const std::byte*>(blocks_.data()); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<std::byte> bytes() { return {data(), size_}; }
    std::span<const std::byte> bytes() const { return {data(), size_}; }

    void reserve(size_t capacity) { blocks_.reserve(blocks_for(capacity)); }

    // Bytes added by growing are zero.
    void resize(size_t size) {
        const size_t old_size = size_;
        blocks_.resize(blocks_for(size));
        size_ = size;
        if (size > old_size) {
            std::memset(data() + old_size, 0, size - old_size);
        }
    }

    void append(const void* bytes, size_t count) {
        const size_t at = size_;
        resize(size_ + count);
        if (count != 0) {
            std::memcpy(data() + at, bytes, count);
        }
    }

  private:
    struct alignas(kAlignment) Block {
        std::byte bytes[kAlignment];
    };
    static size_t blocks_for(size_t size) { return (size + kAlignment - 1) / kAlignment; }

    std::vector<Block> blocks_;
    size_t size_ = 0;
};

}  // namespace bramwex::core
