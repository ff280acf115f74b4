// The finished scan: a flat table of folder records (parents before children),
// the interned names, the largest files, optional reclaimable sizes, the scan's
// hard-link table and a lazily computed DerivedIndex. A Tree is never changed
// once built; threads share it read-only through shared_ptr<const Tree>.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/append_only_table.hpp"
#include "core/tree/derived_index.hpp"
#include "core/tree/read.hpp"

namespace bramwex::core {

// Interned names, append-only; workers grow it concurrently without locks.
// Name id 0 is the scan root's path.
class NameTable {
  public:
    // Appends and returns the new id; the caller enforces the 2^32 limit.
    uint64_t push(std::string name) { return table_.push(std::move(name)); }
    // Fatal "index {} is uninitialized" when id was never written.
    std::string_view at(uint32_t id) const;
    uint64_t size() const { return table_.reserved(); }

  private:
    AppendOnlyTable<std::string> table_;
};

// Key of the hard-link table: one non-folder entry with two or more links.
struct DeviceFile {
    uint64_t device = 0;
    uint64_t file_id = 0;
    friend bool operator==(const DeviceFile&, const DeviceFile&) = default;
    template <class H>
    friend H AbslHashValue(H h, const DeviceFile& key) {
        return H::combine(std::move(h), key.device, key.file_id);
    }
};

// The hard-link table kept in the tree: (device, file id) -> index of the folder
// whose listing counted the file's bytes (kNoParent until that folder had one).
using FolderIndex = absl::flat_hash_map<DeviceFile, uint32_t>;

// Takes the next value of the process-wide generation counter (first value 1).
uint32_t next_generation();

class Tree : public TreeRead<Tree> {
  public:
    std::vector<FolderRecord> folders;        // never empty once built
    std::vector<FileRecord> files;            // the largest files, unordered
    std::vector<uint64_t> reclaimable_sizes;  // per folder; empty when not asked for
    std::shared_ptr<NameTable> names;
    FolderIndex folder_index;
    uint64_t event_id = 0;
    uint32_t generation = 0;
    bool stopped = false;

    // A deep copy sharing the NameTable, with the DerivedIndex already computed
    // and the same generation, so ids of the source stay valid on the copy.
    Tree clone() const;

    // Marks every folder below a removed one removed as well and drops the
    // hard-link entries and largest files of removed folders, keeping the
    // order of the rest. Only for a tree still being put together: its
    // DerivedIndex must not have been computed yet.
    void prune_removed();
    // A folder gone from disk: no bytes, the removed flag alone. Its parent
    // and name stay, so the change list can still name it.
    void mark_removed(uint32_t index);

    // Error text by plain index: only the bounds are checked.
    std::optional<std::string> error_text_at(uint32_t index) const;
    using TreeRead<Tree>::error_text;

    // Record access used by TreeRead.
    uint32_t record_count() const { return static_cast<uint32_t>(folders.size()); }
    const FolderRecord& record_at(uint32_t index) const { return folders[index]; }
    std::string_view name_at(uint32_t name_id) const { return names->at(name_id); }
    uint32_t tree_generation() const { return generation; }
    bool has_reclaimable() const { return !reclaimable_sizes.empty(); }
    uint64_t reclaimable_at(uint32_t index) const {
        return index < reclaimable_sizes.size() ? reclaimable_sizes[index] : 0;
    }
    size_t file_record_count() const { return files.size(); }
    FileView file_record_at(size_t k) const {
        return {files[k].name, files[k].size, files[k].folder};
    }
    const OnceDerived& derived_cell() const { return derived_; }

  private:
    OnceDerived derived_;
};

}  // namespace bramwex::core
