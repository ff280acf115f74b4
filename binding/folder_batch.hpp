// The folders of a tree as one Arrow record batch: the buffers of its eight
// columns, built in one pass per column and then only read, by any number of
// exported arrays at once. Columns, in order: id (uint32), parent (uint32,
// null for the root), name (dictionary of uint32 keys over large UTF-8
// values, each distinct name once), size, own (uint64), denied, partial,
// other_device (bit-packed booleans).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::binding {

// Arrow asks for buffers on 64-byte boundaries.
template <class T>
struct Aligned64 {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};
    Aligned64() = default;
    template <class U>
    Aligned64(const Aligned64<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
    void deallocate(T* p, size_t) { ::operator delete(p, kAlignment); }
    template <class U>
    friend bool operator==(const Aligned64&, const Aligned64<U>&) {
        return true;
    }
};

template <class T>
using ColumnBuffer = std::vector<T, Aligned64<T>>;

struct FolderBatch {
    int64_t rows = 0;
    ColumnBuffer<uint32_t> id;
    ColumnBuffer<uint32_t> parent;
    ColumnBuffer<uint8_t> parent_valid;  // bit per row, clear only for the root
    int64_t parent_nulls = 0;
    ColumnBuffer<uint32_t> name_key;
    int64_t name_count = 0;              // distinct names
    ColumnBuffer<int64_t> name_offsets;  // name_count + 1
    ColumnBuffer<char> name_text;        // UTF-8, invalid sequences replaced
    ColumnBuffer<uint64_t> size;
    ColumnBuffer<uint64_t> own;
    ColumnBuffer<uint8_t> denied;        // bit per row
    ColumnBuffer<uint8_t> partial;       // bit per row
    ColumnBuffer<uint8_t> other_device;  // bit per row
};

// One row per folder in use (removed folders have none), ascending by index.
FolderBatch folder_batch(const core::Tree& tree);

// The values of one cell, each after the full id check of the tree.
uint64_t arrow_size_value(const core::Tree& tree, core::FolderId id);
uint64_t arrow_own_value(const core::Tree& tree, core::FolderId id);
bool arrow_denied_value(const core::Tree& tree, core::FolderId id);
bool arrow_partial_value(const core::Tree& tree, core::FolderId id);
bool arrow_other_device_value(const core::Tree& tree, core::FolderId id);

}  // namespace bramwex::binding
