// The shared state a running scan fills from many worker threads at once, and
// its two ends: snapshots of the tree so far (for live display) and the
// finished Tree. Folder records, reclaimable pairs and names are appended
// without locks; the name index and the largest files each have a mutex, and
// no thread ever holds two of the builder's mutexes at once.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/append_only_table.hpp"
#include "core/tree/largest_files.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

struct ReclaimablePair {
    uint32_t folder = 0;
    uint64_t bytes = 0;
};

// The parts of a builder that a snapshot reads while workers keep appending.
struct BuilderParts {
    std::shared_ptr<const std::vector<FolderRecord>> base;
    std::shared_ptr<const std::vector<uint64_t>> base_reclaimable;  // per base folder; may be short
    std::shared_ptr<AppendOnlyTable<FolderRecord>> new_folders;
    std::shared_ptr<NameTable> names;
    std::shared_ptr<LargestFiles> largest_files;
    std::shared_ptr<AppendOnlyTable<ReclaimablePair>> reclaimable_pairs;  // null when not asked
    uint32_t generation = 0;
};

// What a rescan builds on: the records of the tree it keeps, their
// reclaimable sizes, the tree's names and the generation the result carries.
struct BuilderBase {
    std::vector<FolderRecord> folders;
    std::vector<uint64_t> reclaimable;  // per folder; shorter (or empty) means 0
    std::shared_ptr<NameTable> names;
    uint32_t generation = 0;
};

// A consistent copy of the tree so far: a gap-free prefix of the records, so
// every folder's parent is in it. Nothing before the first record is written.
std::optional<Tree> snapshot(const BuilderParts& parts);

class TreeBuilder {
  public:
    TreeBuilder(std::string root_path, bool reclaimable);
    // Appends to an existing tree's records: new folders get indices from
    // base.folders.size() on, and names are added to the tree's own table.
    TreeBuilder(BuilderBase base, bool reclaimable);

    // Records one folder; returns its index. Safe from any number of threads.
    uint32_t add_folder(const FolderRecord& record, uint64_t reclaimable);

    // Interns folder names (without their NUL) under one lock, in order,
    // writing each one's name id into ids.
    void intern_names(std::span<const std::string_view> names, std::span<uint32_t> ids);

    LargestFiles& largest_files() { return *parts_.largest_files; }
    const BuilderParts& parts() const { return parts_; }
    bool wants_reclaimable() const { return parts_.reclaimable_pairs != nullptr; }

    // Turns everything into the finished Tree; the builder is spent afterwards.
    Tree finish(FolderIndex folder_index, uint64_t event_id, bool stopped);

  private:
    BuilderParts parts_;
    // The base records, writable: finish takes them over when nothing else
    // holds them (parts_.base shares this same vector, read-only).
    std::shared_ptr<std::vector<FolderRecord>> base_;
    std::mutex name_index_mutex_;
    absl::flat_hash_map<std::string, uint32_t> name_index_;
};

// A listed subfolder that is a mount point or lies on another device is
// recorded at once (own 0, flag kFlagOtherDevice) and never descended into;
// its index is returned. An ordinary subfolder on the root's device adds
// nothing and gives none.
std::optional<uint32_t> add_other_device_folder(TreeBuilder& builder, uint32_t parent,
                                                uint32_t name_id, uint64_t file_id, uint8_t status,
                                                uint64_t device, uint64_t root_device);

// A listed subfolder that is a folder above it over again (a bind mount of an
// ancestor): recorded like a mount point that is not entered (own 0, flag
// kFlagOtherDevice), so its contents are not counted twice; returns its index.
uint32_t add_repeated_folder(TreeBuilder& builder, uint32_t parent, uint32_t name_id,
                             uint64_t file_id);

}  // namespace bramwex::core
