#include "core/tree/tree_builder.hpp"

#include <algorithm>

#include "core/base/fatal.hpp"
#include "core/sys/dirread.hpp"

namespace bramwex::core {

namespace {

constexpr uint64_t kMaxEntries = uint64_t{1} << 32;

std::vector<uint64_t> reclaimable_per_folder(const std::vector<uint64_t>* base,
                                             const AppendOnlyTable<ReclaimablePair>& pairs,
                                             uint32_t folder_count) {
    std::vector<uint64_t> values(folder_count, 0);
    if (base != nullptr) {
        std::copy_n(base->begin(), std::min<size_t>(base->size(), folder_count), values.begin());
    }
    pairs.for_each_written([&](uint64_t, const ReclaimablePair& pair) {
        if (pair.folder < folder_count) {
            values[pair.folder] = pair.bytes;
        }
    });
    return values;
}

// What the heap of largest files climbs, to break ties between equal sizes,
// from the records added so far: the heap keeps these alive, not the builder,
// since snapshots share the heap past the builder's life.
struct RecordsAndNames {
    std::shared_ptr<const std::vector<FolderRecord>> base;
    std::shared_ptr<AppendOnlyTable<FolderRecord>> new_folders;
    std::shared_ptr<NameTable> names;
};

FolderLinks folder_links(const BuilderParts& parts) {
    return [held = RecordsAndNames{parts.base, parts.new_folders, parts.names}](
               uint32_t folder) -> std::optional<FolderLink> {
        const size_t base = held.base->size();
        const FolderRecord* record =
            folder < base ? &(*held.base)[folder] : held.new_folders->get(folder - base);
        if (record == nullptr) {
            return std::nullopt;  // not recorded (yet)
        }
        return FolderLink{record->parent, held.names->at(record->name_id)};
    };
}

}  // namespace

TreeBuilder::TreeBuilder(std::string root_path, bool reclaimable) {
    base_ = std::make_shared<std::vector<FolderRecord>>();
    parts_.base = base_;
    parts_.new_folders = std::make_shared<AppendOnlyTable<FolderRecord>>();
    parts_.names = std::make_shared<NameTable>();
    parts_.names->push(std::move(root_path));
    parts_.largest_files = std::make_shared<LargestFiles>(folder_links(parts_));
    if (reclaimable) {
        parts_.reclaimable_pairs = std::make_shared<AppendOnlyTable<ReclaimablePair>>();
    }
    parts_.generation = next_generation();
}

TreeBuilder::TreeBuilder(BuilderBase base, bool reclaimable) {
    base_ = std::make_shared<std::vector<FolderRecord>>(std::move(base.folders));
    parts_.base = base_;
    if (reclaimable) {
        parts_.base_reclaimable =
            std::make_shared<const std::vector<uint64_t>>(std::move(base.reclaimable));
        parts_.reclaimable_pairs = std::make_shared<AppendOnlyTable<ReclaimablePair>>();
    }
    parts_.new_folders = std::make_shared<AppendOnlyTable<FolderRecord>>();
    parts_.names = std::move(base.names);
    parts_.largest_files = std::make_shared<LargestFiles>(folder_links(parts_));
    parts_.generation = base.generation;
}

uint32_t TreeBuilder::add_folder(const FolderRecord& record, uint64_t reclaimable) {
    const uint64_t index = parts_.base->size() + parts_.new_folders->push(record);
    if (index >= kMaxEntries) {
        fatal("over 2^32 directories");
    }
    const auto folder = static_cast<uint32_t>(index);
    if (parts_.reclaimable_pairs) {
        parts_.reclaimable_pairs->push({folder, reclaimable});
    }
    return folder;
}

void TreeBuilder::intern_names(std::span<const std::string_view> names, std::span<uint32_t> ids) {
    std::lock_guard lock(name_index_mutex_);
    for (size_t k = 0; k < names.size(); ++k) {
        const absl::string_view key(names[k].data(), names[k].size());
        if (const auto found = name_index_.find(key); found != name_index_.end()) {
            ids[k] = found->second;
            continue;
        }
        const uint64_t id = parts_.names->push(std::string(names[k]));
        if (id >= kMaxEntries) {
            fatal("over 2^32 distinct names");
        }
        ids[k] = static_cast<uint32_t>(id);
        name_index_.emplace(std::string(names[k]), ids[k]);
    }
}

std::optional<Tree> snapshot(const BuilderParts& parts) {
    Tree tree;
    tree.folders = *parts.base;
    parts.new_folders->for_each_written_prefix(
        [&](uint64_t, const FolderRecord& record) { tree.folders.push_back(record); });
    if (tree.folders.empty()) {
        return std::nullopt;
    }
    const auto count = static_cast<uint32_t>(tree.folders.size());
    tree.files = parts.largest_files->copy_below(count);
    if (parts.reclaimable_pairs) {
        tree.reclaimable_sizes =
            reclaimable_per_folder(parts.base_reclaimable.get(), *parts.reclaimable_pairs, count);
    }
    tree.names = parts.names;
    tree.generation = parts.generation;
    return tree;
}

Tree TreeBuilder::finish(FolderIndex folder_index, uint64_t event_id, bool stopped) {
    Tree tree;
    parts_.base.reset();
    if (base_.use_count() == 1) {
        // Nothing else holds the base (no snapshot kept it): take it over
        // rather than copy a large tree's records.
        tree.folders = std::move(*base_);
    } else {
        tree.folders.assign(base_->begin(), base_->end());
    }
    base_.reset();
    tree.folders.reserve(tree.folders.size() + parts_.new_folders->reserved());
    parts_.new_folders->for_each_written(
        [&](uint64_t, const FolderRecord& record) { tree.folders.push_back(record); });
    parts_.new_folders.reset();
    const auto count = static_cast<uint32_t>(tree.folders.size());
    if (parts_.reclaimable_pairs) {
        tree.reclaimable_sizes =
            reclaimable_per_folder(parts_.base_reclaimable.get(), *parts_.reclaimable_pairs, count);
        parts_.base_reclaimable.reset();
    }
    tree.files = parts_.largest_files->take();
    tree.names = parts_.names;
    tree.folder_index = std::move(folder_index);
    tree.event_id = event_id;
    tree.generation = parts_.generation;
    tree.stopped = stopped;
    return tree;
}

std::optional<uint32_t> add_other_device_folder(TreeBuilder& builder, uint32_t parent,
                                                uint32_t name_id, uint64_t file_id, uint8_t status,
                                                uint64_t device, uint64_t root_device) {
    if (status != sys::kStatusMountPoint && device == root_device) {
        return std::nullopt;
    }
    return builder.add_folder(
        {0, parent, name_id, static_cast<uint32_t>(file_id), kFlagOtherDevice, 0}, 0);
}

uint32_t add_repeated_folder(TreeBuilder& builder, uint32_t parent, uint32_t name_id,
                             uint64_t file_id) {
    return builder.add_folder(
        {0, parent, name_id, static_cast<uint32_t>(file_id), kFlagOtherDevice, 0}, 0);
}

}  // namespace bramwex::core
