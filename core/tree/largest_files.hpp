// The 1000 largest files of a scan: a heap behind its own mutex whose top is
// the file to give up first (the smallest, and among equal sizes the one with
// the greatest path), with a threshold that workers read without the lock to
// skip files that cannot enter. Ties are decided by path, never by arrival
// order, so two scans of one tree keep the same files however their workers
// ran. The threshold only rises, so a stale read only lets a few extra
// candidates reach the locked merge, which decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/tree/path_order.hpp"
#include "core/tree/records.hpp"

namespace bramwex::core {

// A file of one listing that may enter the heap: its size and name (no NUL).
struct LargeFileCandidate {
    uint64_t size = 0;
    std::string name;
};

class LargestFiles {
  public:
    static constexpr size_t kCapacity = 1000;

    // Without links every folder's path is empty, so ties fall to names.
    LargestFiles() = default;
    explicit LargestFiles(FolderLinks links) : order_(std::move(links)) {}

    // Heap operations; the caller holds mutex().
    void push(FileRecord record);
    FileRecord pop();
    size_t size() const { return heap_.size(); }

    // Merges one folder's candidates in listing order, under the lock. Paths
    // are compared only to settle ties of equal sizes, and never built.
    void merge(std::span<LargeFileCandidate> candidates, uint32_t folder);
    // Merges files of any folders, under the lock.
    void merge(std::span<FileRecord> files);

    // A file must be larger than this to become a candidate.
    uint64_t threshold() const { return threshold_.load(std::memory_order_relaxed); }

    // Copies of the records whose folder is below folder_count, in heap order.
    std::vector<FileRecord> copy_below(uint32_t folder_count) const;
    // Takes the heap out as it stands (heap order, unsorted).
    std::vector<FileRecord> take();

    std::mutex& mutex() const { return mutex_; }

  private:
    // Keeps record if it ranks before the one to give up; the caller holds
    // the lock and updates the threshold.
    void offer(FileRecord&& record);
    void raise_threshold();
    // The order of the kept list: larger first, then the smaller path. As
    // the heap's "less", it keeps the record to give up first on top.
    bool ranks_before(const FileRecord& a, const FileRecord& b);
    auto before() {
        return [this](const FileRecord& a, const FileRecord& b) { return ranks_before(a, b); };
    }

    PathOrder order_;  // used under the lock
    mutable std::mutex mutex_;
    std::vector<FileRecord> heap_;
    std::atomic<uint64_t> threshold_{0};
};

// The largest files of kept and more together, as a heap keeps them (at most
// LargestFiles::kCapacity, in no order), with ties settled by the paths the
// links give.
std::vector<FileRecord> keep_largest(std::vector<FileRecord> kept, std::vector<FileRecord> more,
                                     FolderLinks links);

}  // namespace bramwex::core
