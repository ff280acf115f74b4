// The read view of a saved scan: answers every TreeRead question straight
// from the checked bytes (a mapped file or a buffer), without copying them,
// so show prints a saved scan exactly as scan printed the tree. The bytes
// must outlive the view. Read from any thread; the DerivedIndex is filled once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/store/check_scan_file.hpp"
#include "core/tree/derived_index.hpp"
#include "core/tree/read.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

class StoredTree : public TreeRead<StoredTree> {
  public:
    // A view over an archive that passed check_scan_file; takes the next generation.
    explicit StoredTree(const ScanArchive& archive);

    // Checks the bytes (16-byte aligned) and opens the view; nothing when invalid.
    static std::optional<StoredTree> open(std::span<const std::byte> bytes);

    std::string_view root_path() const { return archive_.root_path; }
    bool stopped() const { return archive_.stopped(); }

    // The stored record in FolderRecord field order; fatal past the folder count.
    FolderRecord folder_record(uint32_t index) const;

    // A Tree with its own copy of everything, the same generation and stopped
    // flag, event id 0, an empty FolderIndex and its DerivedIndex not computed.
    Tree to_tree() const;

    // Record access used by TreeRead.
    uint32_t record_count() const { return static_cast<uint32_t>(archive_.folders.size()); }
    const StoredFolderRecord& record_at(uint32_t index) const { return archive_.folders[index]; }
    std::string_view name_at(uint32_t name_id) const;
    uint32_t tree_generation() const { return generation_; }
    bool has_reclaimable() const { return archive_.has_reclaimable(); }
    uint64_t reclaimable_at(uint32_t index) const {
        return index < archive_.reclaimable.size() ? archive_.reclaimable[index] : 0;
    }
    size_t file_record_count() const { return archive_.files.size(); }
    FileView file_record_at(size_t k) const {
        const StoredFileRecord& file = archive_.files[k];
        return {stored_file_name(file), file.size, file.folder};
    }
    const OnceDerived& derived_cell() const { return derived_; }

  private:
    ScanArchive archive_;
    uint32_t generation_ = 0;
    OnceDerived derived_;
};

}  // namespace bramwex::core
