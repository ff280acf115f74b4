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
#include "core/base/fd.hpp"
#include "core/scan/descriptor_budget.hpp"
#include "core/scan/folder_chain.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/scan.hpp"
#include "core/scan/scan_options.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/tree.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

// A directory descriptor shared by the jobs of its subfolders; closed when
// the last of them has opened its own folder. It also carries the folder's
// link of the chain of folders above the jobs (none: nothing is compared).
// Without a descriptor (the folder could not stay open), the jobs reach the
// folder again through the chain.
class SharedDirFd {
  public:
    explicit SharedDirFd(int fd) : fd_(fd, nullptr) {}  // takes the descriptor over
    SharedDirFd(BudgetedFd fd, std::shared_ptr<FolderChain> chain)
        : fd_(std::move(fd)), chain_(std::move(chain)) {}
    int fd() const { return fd_.get(); }
    const std::shared_ptr<FolderChain>& chain() const { return chain_; }

  private:
    BudgetedFd fd_;
    std::shared_ptr<FolderChain> chain_;
};

// A folder entry of a listing, before its name is interned.
struct ListedSubfolder {
    std::string name;  // without the NUL
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    uint64_t device = 0;
    uint64_t file_id = 0;
    uint8_t status = 0;
    bool mount_root = false;  // as the reader says: may repeat a folder above
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
// every folder opened is appended to it, outermost first.
std::expected<int, int> open_dir_components(int dir_fd, std::span<const std::string> names,
                                            FolderPath* folders = nullptr);

// Runs task(0) .. task(count - 1) on the pool and waits for all of them.
void for_each_on_pool(Pool& pool, size_t count, const std::function<void(size_t)>& task);

// The new subfolders of one folder of the tree, each to be scanned in full.
struct NewSubtrees {
    uint32_t parent = 0;
    std::shared_ptr<SharedDirFd> dir;  // the parent, open; kept open for the walk
    FolderPath ancestors;              // the root down to the parent itself
    // Without dir, the parent is reached from root by these names.
    std::shared_ptr<SharedDirFd> root;
    std::vector<std::string> components;
    std::vector<ListedSubfolder> subfolders;
};

// A walk of new subtrees on top of an existing tree's records.
struct SubtreeWalk {
    BuilderBase base;                     // kept records; new folders are appended after them
    FolderIndex hard_links;               // multi-link files counted so far
    LinkHolders* link_holders = nullptr;  // when given, kept up to date with the new folders
    // With link_holders, every multi-link file the walk meets is added here;
    // their entries among the largest files are the caller's to make, from
    // its holders.
    std::vector<DeviceFile>* links_met = nullptr;
    uint64_t root_device = 0;
    sys::ReadMode read_mode;
    bool reclaimable = false;
    StopTest stop;          // as in ScanOptions
    StopTest interrupt;     // as in ScanOptions
    uint64_t event_id = 0;  // carried by the result
    bool stopped = false;   // the result is stopped when this is or a stop test said yes
};

// Calls seed with the builder (to add what the kept records need before
// the walk), then scans every group's subfolders in full on the pool. A
// subfolder that repeats one of its ancestors is recorded but not entered,
// like a folder on another device. A fatal error of a job is raised here;
// threads that cannot start are the error returned.
Result<Tree> walk_new_subtrees(Pool& pool, SubtreeWalk walk, std::vector<NewSubtrees> groups,
                               const std::function<void(TreeBuilder&)>& seed);

}  // namespace bramwex::core
