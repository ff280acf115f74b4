// The folders from a walk's root down to one folder, by device and file id,
// so that a folder which repeats one above it (a bind mount of an ancestor,
// or any folder inside such a mount) is recognised and not entered a second
// time; and by name, so that a folder whose parent could not stay open is
// reached again from the nearest folder above that is open for the whole
// walk (its anchor). A link is made once per listed folder with subfolders
// and shared, read-only, by the jobs below it.
//
// Inside one mount folders have no hard links, so a path from a folder down
// to a repeat of it must cross a mount's root. A subfolder is therefore
// compared only when it is a mount's root itself or a mount's root lies on
// its chain below the walk's root: an ordinary tree pays for no comparison.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/tree/tree.hpp"

namespace bramwex::core {

class SharedDirFd;

struct FolderChain {
    FolderChain(uint64_t device_, uint64_t file_id_, bool below_mount_root_,
                std::shared_ptr<FolderChain> up_, std::string name_ = {},
                std::shared_ptr<SharedDirFd> anchor_ = nullptr)
        : device(device_),
          file_id(file_id_),
          below_mount_root(below_mount_root_),
          up(std::move(up_)),
          name(std::move(name_)),
          anchor(std::move(anchor_)) {}
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
    bool below_mount_root =
        false;  // this folder or one above it, the root aside, is a mount's root
    std::shared_ptr<FolderChain> up;  // the parent's link; null at the walk's root
    std::string name;                 // the folder's name in its parent (none at an anchor)
    // The folder itself, open while the link lives; none: reach it from above.
    std::shared_ptr<SharedDirFd> anchor;
};

// Whether the subfolder (device, file_id) of the chain's folder is the
// chain's folder or one above it; mount_root is what the reader said of it.
inline bool repeats_an_ancestor(const FolderChain* chain, bool mount_root, uint64_t device,
                                uint64_t file_id) {
    if (chain == nullptr || !(mount_root || chain->below_mount_root)) {
        return false;
    }
    for (; chain != nullptr; chain = chain->up.get()) {
        if (chain->file_id == file_id && chain->device == device) {
            return true;
        }
    }
    return false;
}

// The same chain as a list, outermost (the walk's root) first, as a rescan
// finds it by opening the folders below the root one by one.
struct FolderPath {
    std::vector<DeviceFile> folders;
    size_t first_mount_root = 0;  // index of the first mount's root after the root; 0: none

    bool repeated_by(bool mount_root, DeviceFile subfolder) const {
        return (mount_root || first_mount_root != 0) &&
               std::ranges::find(folders, subfolder) != folders.end();
    }

    // The chain, its last folder open as anchor.
    std::shared_ptr<FolderChain> chain(std::shared_ptr<SharedDirFd> anchor) const {
        std::shared_ptr<FolderChain> link;
        for (size_t k = 0; k < folders.size(); ++k) {
            const bool below = first_mount_root != 0 && k >= first_mount_root;
            link = std::make_shared<FolderChain>(
                folders[k].device, folders[k].file_id, below, std::move(link), std::string(),
                k + 1 == folders.size() ? std::move(anchor) : nullptr);
        }
        return link;
    }

    // The chain with no folder of it open but the root (anchor): each folder
    // is reached by its name in names (the root's child first).
    std::shared_ptr<FolderChain> chain_by_name(std::shared_ptr<SharedDirFd> anchor,
                                               const std::vector<std::string>& names) const {
        std::shared_ptr<FolderChain> link;
        for (size_t k = 0; k < folders.size(); ++k) {
            const bool below = first_mount_root != 0 && k >= first_mount_root;
            link = std::make_shared<FolderChain>(
                folders[k].device, folders[k].file_id, below, std::move(link),
                k == 0 || k > names.size() ? std::string() : names[k - 1],
                k == 0 ? std::move(anchor) : nullptr);
        }
        return link;
    }
};

}  // namespace bramwex::core
