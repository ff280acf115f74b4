#include "core/tree/largest_files.hpp"

#include <algorithm>

namespace bramwex::core {

namespace {

// std heap functions keep the largest element on top; inverting the order
// keeps the smallest there.
bool goes_below(const FileRecord& a, const FileRecord& b) {
    if (a.size != b.size) {
        return a.size > b.size;
    }
    if (a.folder != b.folder) {
        return a.folder > b.folder;
    }
    return a.name > b.name;
}

}  // namespace

void LargestFiles::push(FileRecord record) {
    heap_.push_back(std::move(record));
    std::push_heap(heap_.begin(), heap_.end(), goes_below);
}

FileRecord LargestFiles::pop() {
    std::pop_heap(heap_.begin(), heap_.end(), goes_below);
    FileRecord smallest = std::move(heap_.back());
    heap_.pop_back();
    return smallest;
}

void LargestFiles::merge(std::span<LargeFileCandidate> candidates, uint32_t folder) {
    std::lock_guard lock(mutex_);
    for (LargeFileCandidate& candidate : candidates) {
        if (heap_.size() >= kCapacity) {
            if (candidate.size <= heap_.front().size) {
                continue;
            }
            pop();
        }
        push({std::move(candidate.name), candidate.size, folder});
    }
    if (heap_.size() >= kCapacity) {
        threshold_.store(heap_.front().size, std::memory_order_relaxed);
    }
}

std::vector<FileRecord> LargestFiles::copy_below(uint32_t folder_count) const {
    std::lock_guard lock(mutex_);
    std::vector<FileRecord> copy;
    for (const FileRecord& record : heap_) {
        if (record.folder < folder_count) {
            copy.push_back(record);
        }
    }
    return copy;
}

std::vector<FileRecord> LargestFiles::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(heap_, {});
}

}  // namespace bramwex::core
