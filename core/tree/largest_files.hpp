// The 1000 largest files of a scan: a min-heap (size, then folder, then name)
// behind its own mutex, with a threshold that workers read without the lock to
// skip files that cannot enter. The threshold only rises, so a stale read only
// lets a few extra candidates reach the locked merge, which decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/tree/records.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// A file of one listing that may enter the heap: its size and name (no NUL).
struct LargeFileCandidate {
    uint64_t size = 0;
    std::string name;
};

class LargestFiles {
  public:
    static constexpr size_t kCapacity = 1000;

    // Heap operations; the caller holds mutex().
    void push(FileRecord record);
    FileRecord pop();
    size_t size() const { return heap_.size(); }

    // Merges one folder's candidates in listing order, under the lock.
    void merge(std::span<LargeFileCandidate> candidates, uint32_t folder);

    uint64_t threshold() const { return threshold_.load(std::memory_order_relaxed); }

    // Copies of the records whose folder is below folder_count, in heap order.
    std::vector<FileRecord> copy_below(uint32_t folder_count) const;
    // Takes the heap out as it stands (heap order, unsorted).
    std::vector<FileRecord> take();

    std::mutex& mutex() const { return mutex_; }

  private:
    mutable std::mutex mutex_;
    std::vector<FileRecord> heap_;
    std::atomic<uint64_t> threshold_{0};
};

}  // namespace bramwex::core
