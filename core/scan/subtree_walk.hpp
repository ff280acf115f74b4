// What a rescan of a followed tree borrows from the scan: opening the root
// and folders below it as a walk does, running listings on the walk's pool,
// and walking new subtrees into an existing tree's records with the same
// jobs, worker gate and builder as a full scan. Everything here runs on the
// caller's thread except the jobs, which run on the pool.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/scan.hpp"
#include "core/scan/scan_options.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/tree.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

// A directory descriptor shared by the jobs of its subfolders; closed when
// the last of them has opened its own folder.
class SharedDirFd {
  public:
    explicit SharedDirFd(int fd) : fd_(fd) {}
    SharedDirFd(const SharedDirFd&) = delete;
    SharedDirFd& operator=(const SharedDirFd&) = delete;
    ~SharedDirFd();
    int fd() const { return fd_; }

  private:
    int fd_;
};

// A folder entry of a listing, before its name is interned.
struct ListedSubfolder {
    std::string name;  // without the NUL
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    uint64_t device = 0;
    uint64_t file_id = 0;
    uint8_t status = 0;
};

// The root of a walk, opened and examined before it.
struct PreparedRoot {
    int fd = -1;  // the caller's to close (or to hand to the walk)
    sys::FdStat stat;
    sys::ReadMode read_mode;
};

// Opens the root (following a link at the path itself), stats it and picks
// the reader: the probed one for the auto reader, else forced or portable.
Result<PreparedRoot> prepare_root(std::string_view path, const ScanOptions& options,
                                  std::optional<sys::ReadMode> forced = std::nullopt);

// Opens "." relative to dir_fd, then each name in turn without following
// links, closing each descriptor once the next is open. With folders given,
// the identity of every folder opened is appended, outermost first.
std::expected<int, int> open_dir_components(int dir_fd, std::span<const std::string> names,
                                            std::vector<DeviceFile>* folders = nullptr);

// Whether a folder is one of its own ancestors: a bind mount of a folder
// inside itself, which a walk must not enter or it never ends.
bool repeats_an_ancestor(std::span<const DeviceFile> ancestors, DeviceFile folder);

// Runs task(0) .. task(count - 1) on the pool and waits for all of them.
void for_each_on_pool(Pool& pool, size_t count, const std::function<void(size_t)>& task);

// The new subfolders of one folder of the tree, each to be scanned in full.
struct NewSubtrees {
    uint32_t parent = 0;
    std::shared_ptr<SharedDirFd> dir;   // the parent, open
    std::vector<DeviceFile> ancestors;  // the root down to the parent itself
    std::vector<ListedSubfolder> subfolders;
};

// A walk of new subtrees on top of an existing tree's records.
struct SubtreeWalk {
    BuilderBase base;                     // kept records; new folders are appended after them
    FolderIndex hard_links;               // multi-link files counted so far
    LinkHolders* link_holders = nullptr;  // when given, kept up to date with the new folders
    uint64_t root_device = 0;
    sys::ReadMode read_mode;
    bool reclaimable = false;
    StopTest stop;
    uint64_t event_id = 0;  // carried by the result
    bool stopped = false;   // the result is stopped when this is or the stop test said yes
};

// Calls seed with the builder (to add what the kept records need before
// the walk), then scans every group's subfolders in full on the pool. A
// subfolder that repeats one of its ancestors is recorded but not entered,
// like a folder on another device. A fatal error of a job is raised here.
Tree walk_new_subtrees(Pool& pool, SubtreeWalk walk, std::vector<NewSubtrees> groups,
                       const std::function<void(TreeBuilder&)>& seed);

}  // namespace bramwex::core
