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
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/tree/records.hpp"

namespace bramwex::core {

// A file of one listing that may enter the heap: its size and name (no NUL).
struct LargeFileCandidate {
    uint64_t size = 0;
    std::string name;
};

// Appends a folder's path below the scan root ("" for the root itself).
using FolderPathWriter = std::function<void(uint32_t folder, std::string& out)>;

class LargestFiles {
  public:
    static constexpr size_t kCapacity = 1000;

    // Without a writer every folder's path is empty, so ties fall to names.
    LargestFiles() = default;
    explicit LargestFiles(FolderPathWriter folder_path) : folder_path_(std::move(folder_path)) {}

    // Heap operations; the caller holds mutex().
    void push(FileRecord record);
    FileRecord pop();
    size_t size() const { return heap_.size(); }

    // Merges one folder's candidates in listing order, under the lock. Paths
    // are built only to settle ties of equal sizes.
    void merge(std::span<LargeFileCandidate> candidates, uint32_t folder);

    // A file must be larger than this to become a candidate.
    uint64_t threshold() const { return threshold_.load(std::memory_order_relaxed); }

    // Copies of the records whose folder is below folder_count, in heap order.
    std::vector<FileRecord> copy_below(uint32_t folder_count) const;
    // Takes the heap out as it stands (heap order, unsorted).
    std::vector<FileRecord> take();

    std::mutex& mutex() const { return mutex_; }

  private:
    struct Entry {
        FileRecord record;
        // Below the scan root, the tie-break; built the first time two
        // entries of equal size meet, then kept.
        mutable std::optional<std::string> path;
    };
    const std::string& path_of(const Entry& entry) const;
    // The order of the kept list: larger first, then the smaller path. As
    // the heap's "less", it keeps the entry to give up first on top.
    bool ranks_before(const Entry& a, const Entry& b) const;
    auto before() const {
        return [this](const Entry& a, const Entry& b) { return ranks_before(a, b); };
    }
    void push_entry(Entry entry);

    FolderPathWriter folder_path_;
    mutable std::mutex mutex_;
    std::vector<Entry> heap_;
    std::atomic<uint64_t> threshold_{0};
};

}  // namespace bramwex::core
