#include "core/tree/tree.hpp"

#include <atomic>

#include "core/base/fatal.hpp"

namespace bramwex::core {

namespace {
std::atomic<uint32_t> generation_counter{1};
}  // namespace

uint32_t next_generation() {
    return generation_counter.fetch_add(1, std::memory_order_relaxed);
}

std::string_view NameTable::at(uint32_t id) const {
    const std::string* name = table_.get(id);
    if (name == nullptr) {
        fatal("index {} is uninitialized", id);
    }
    return *name;
}

Tree Tree::clone() const {
    const DerivedIndex& derived = compute_index();
    Tree copy;
    copy.folders = folders;
    copy.files = files;
    copy.reclaimable_sizes = reclaimable_sizes;
    copy.names = names;
    copy.folder_index = folder_index;
    copy.event_id = event_id;
    copy.generation = generation;
    copy.stopped = stopped;
    copy.derived_.set(derived);
    return copy;
}

void Tree::prune_removed() {
    auto removed = [this](uint32_t index) { return (folders[index].flags & kFlagRemoved) != 0; };
    for (uint32_t i = 1; i < folders.size(); ++i) {
        if (!removed(i) && removed(folders[i].parent)) {
            mark_removed(i);
        }
    }
    absl::erase_if(folder_index, [&](const auto& entry) {
        return entry.second < folders.size() && removed(entry.second);
    });
    std::erase_if(files, [&](const FileRecord& file) {
        return file.folder < folders.size() && removed(file.folder);
    });
}

void Tree::mark_removed(uint32_t index) {
    folders[index].own = 0;
    folders[index].flags = kFlagRemoved;
    folders[index].error_number = 0;
    if (index < reclaimable_sizes.size()) {
        reclaimable_sizes[index] = 0;
    }
}

std::optional<std::string> Tree::error_text_at(uint32_t index) const {
    check_index_in_range(index);
    return error_text_of_record(folders[index]);
}

}  // namespace bramwex::core
