#include "core/tree/largest_files.hpp"

#include <algorithm>
#include <utility>

namespace bramwex::core {

bool LargestFiles::ranks_before(const FileRecord& a, const FileRecord& b) {
    if (a.size != b.size) {
        return a.size > b.size;
    }
    return order_.compare(a.folder, a.name, b.folder, b.name) < 0;
}

void LargestFiles::push(FileRecord record) {
    heap_.push_back(std::move(record));
    std::push_heap(heap_.begin(), heap_.end(), before());
}

FileRecord LargestFiles::pop() {
    std::pop_heap(heap_.begin(), heap_.end(), before());
    FileRecord last = std::move(heap_.back());
    heap_.pop_back();
    return last;
}

void LargestFiles::offer(FileRecord&& record) {
    if (heap_.size() < kCapacity) {
        push(std::move(record));
        return;
    }
    // Decided by size alone, else by path.
    if (record.size < heap_.front().size || !ranks_before(record, heap_.front())) {
        return;
    }
    pop();
    push(std::move(record));
}

void LargestFiles::raise_threshold() {
    if (heap_.size() >= kCapacity) {
        // A file as large as the top may still win its tie by path.
        const uint64_t smallest = heap_.front().size;
        threshold_.store(smallest == 0 ? 0 : smallest - 1, std::memory_order_relaxed);
    }
}

void LargestFiles::merge(std::span<LargeFileCandidate> candidates, uint32_t folder) {
    std::lock_guard lock(mutex_);
    for (LargeFileCandidate& candidate : candidates) {
        if (heap_.size() < kCapacity || candidate.size >= heap_.front().size) {
            offer({std::move(candidate.name), candidate.size, folder});
        }
    }
    raise_threshold();
}

void LargestFiles::merge(std::span<FileRecord> files) {
    std::lock_guard lock(mutex_);
    for (FileRecord& file : files) {
        offer(std::move(file));
    }
    raise_threshold();
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

std::vector<FileRecord> keep_largest(std::vector<FileRecord> kept, std::vector<FileRecord> more,
                                     FolderLinks links) {
    if (more.empty() && kept.size() <= LargestFiles::kCapacity) {
        return kept;
    }
    LargestFiles largest(std::move(links));
    largest.merge(kept);
    largest.merge(more);
    return largest.take();
}

}  // namespace bramwex::core
