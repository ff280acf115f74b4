#include "core/store/stored_tree.hpp"

#include <memory>
#include <string>

#include "core/base/fatal.hpp"

namespace bramwex::core {

StoredTree::StoredTree(const ScanArchive& archive)
    : archive_(archive), generation_(next_generation()) {}

std::optional<StoredTree> StoredTree::open(std::span<const std::byte> bytes) {
    const std::optional<ScanArchive> archive = check_scan_file(bytes);
    if (!archive) {
        return std::nullopt;
    }
    return StoredTree(*archive);
}

std::string_view StoredTree::name_at(uint32_t name_id) const {
    if (name_id == 0) {
        return archive_.root_path;
    }
    if (name_id >= archive_.name_ends.size()) {
        fatal("index {} is uninitialized", name_id);
    }
    const uint32_t start = archive_.name_ends[name_id - 1];
    return archive_.name_bytes.substr(start, archive_.name_ends[name_id] - start);
}

FolderRecord StoredTree::folder_record(uint32_t index) const {
    check_index_in_range(index);
    return archive_.folders[index];
}

Tree StoredTree::to_tree() const {
    Tree tree;
    tree.names = std::make_shared<NameTable>();
    const auto name_count = static_cast<uint32_t>(archive_.name_ends.size());
    tree.names->push(std::string(archive_.root_path));
    for (uint32_t id = 1; id < name_count; ++id) {
        tree.names->push(std::string(name_at(id)));
    }
    tree.folders.reserve(archive_.folders.size());
    for (const StoredFolderRecord& record : archive_.folders) {
        tree.folders.push_back(record);
    }
    tree.files.reserve(archive_.files.size());
    for (const StoredFileRecord& file : archive_.files) {
        tree.files.push_back({std::string(stored_file_name(file)), file.size, file.folder});
    }
    tree.reclaimable_sizes.assign(archive_.reclaimable.begin(), archive_.reclaimable.end());
    tree.generation = generation_;
    tree.stopped = stopped();
    return tree;
}

}  // namespace bramwex::core
