// The folders from a walk's root down to one folder, by device and file id,
// so that a folder which repeats one above it (a bind mount of an ancestor)
// is recognised and not entered a second time. A link is made once per
// listed folder with subfolders and shared, read-only, by the jobs below it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace bramwex::core {

struct FolderChain {
    FolderChain(uint64_t device_, uint64_t file_id_, std::shared_ptr<FolderChain> up_)
        : device(device_), file_id(file_id_), up(std::move(up_)) {}
    FolderChain(const FolderChain&) = delete;
    FolderChain& operator=(const FolderChain&) = delete;
    // A chain thousands of folders deep is let go link by link, not by a
    // recursion as deep as the chain.
    ~FolderChain() {
        std::shared_ptr<FolderChain> next = std::move(up);
        while (next && next.use_count() == 1) {
            // use_count is a relaxed load: order the other owners' last reads
            // of this link before it is taken apart here.
            std::atomic_thread_fence(std::memory_order_acquire);
            next = std::move(next->up);
        }
    }

    uint64_t device = 0;
    uint64_t file_id = 0;
    std::shared_ptr<FolderChain> up;  // the parent's link; null at the walk's root
};

// Whether the folder (device, file_id) is the chain's folder or one above it.
// Only a mount's root can be (folders have no hard links), so callers ask
// for folders the directory reader marks as mount roots.
inline bool repeats_an_ancestor(const FolderChain* chain, uint64_t device, uint64_t file_id) {
    for (; chain != nullptr; chain = chain->up.get()) {
        if (chain->file_id == file_id && chain->device == device) {
            return true;
        }
    }
    return false;
}

}  // namespace bramwex::core
