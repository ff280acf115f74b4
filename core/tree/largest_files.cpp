#include "core/tree/largest_files.hpp"

#include <algorithm>
#include <optional>

namespace bramwex::core {

const std::string& LargestFiles::path_of(const Entry& entry) const {
    if (!entry.path) {
        entry.path.emplace();
        if (folder_path_) {
            folder_path_(entry.record.folder, *entry.path);
        }
        if (!entry.path->empty()) {
            *entry.path += '/';
        }
        *entry.path += entry.record.name;
    }
    return *entry.path;
}

bool LargestFiles::ranks_before(const Entry& a, const Entry& b) const {
    if (a.record.size != b.record.size) {
        return a.record.size > b.record.size;
    }
    return path_of(a) < path_of(b);
}

void LargestFiles::push_entry(Entry entry) {
    heap_.push_back(std::move(entry));
    std::push_heap(heap_.begin(), heap_.end(), before());
}

void LargestFiles::push(FileRecord record) {
    push_entry({std::move(record), std::nullopt});
}

FileRecord LargestFiles::pop() {
    std::pop_heap(heap_.begin(), heap_.end(), before());
    FileRecord last = std::move(heap_.back().record);
    heap_.pop_back();
    return last;
}

void LargestFiles::merge(std::span<LargeFileCandidate> candidates, uint32_t folder) {
    std::lock_guard lock(mutex_);
    for (LargeFileCandidate& candidate : candidates) {
        if (heap_.size() < kCapacity) {
            push({std::move(candidate.name), candidate.size, folder});
            continue;
        }
        if (candidate.size < heap_.front().record.size) {
            continue;  // decided by size alone: no path is built
        }
        Entry entry{{std::move(candidate.name), candidate.size, folder}, std::nullopt};
        if (!ranks_before(entry, heap_.front())) {
            continue;
        }
        pop();
        push_entry(std::move(entry));
    }
    if (heap_.size() >= kCapacity) {
        // A file as large as the top may still win its tie by path.
        const uint64_t smallest = heap_.front().record.size;
        threshold_.store(smallest == 0 ? 0 : smallest - 1, std::memory_order_relaxed);
    }
}

std::vector<FileRecord> LargestFiles::copy_below(uint32_t folder_count) const {
    std::lock_guard lock(mutex_);
    std::vector<FileRecord> copy;
    for (const Entry& entry : heap_) {
        if (entry.record.folder < folder_count) {
            copy.push_back(entry.record);
        }
    }
    return copy;
}

std::vector<FileRecord> LargestFiles::take() {
    std::lock_guard lock(mutex_);
    std::vector<FileRecord> records;
    records.reserve(heap_.size());
    for (Entry& entry : heap_) {
        records.push_back(std::move(entry.record));
    }
    heap_.clear();
    return records;
}

}  // namespace bramwex::core
