// The pieces of one walk shared by every folder job: the scan context, the
// listing of one folder into the builder, and the jobs themselves. Workers
// share the context by reference; the pool scope outlives every job.
#pragma once

#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/fd.hpp"
#include "core/scan/folder_chain.hpp"
#include "core/scan/scan_options.hpp"
#include "core/scan/worker_gate.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

struct ScanContext {
    ScanContext(const GateSettings& gate_settings, std::string root_path, bool reclaimable,
                uint64_t root_device, StopTest stop, sys::ReadMode read_mode);
    // A walk that adds new subtrees to an existing tree (the rescan).
    ScanContext(const GateSettings& gate_settings, BuilderBase base, bool reclaimable,
                uint64_t root_device, StopTest stop, sys::ReadMode read_mode);

    WorkerGate gate;
    TreeBuilder builder;
    std::mutex hard_links_mutex;
    FolderIndex hard_links;
    uint64_t root_device = 0;
    StopTest stop;
    sys::ReadMode read_mode;
    std::atomic<bool> stopped{false};
    tbb::task_group* scope = nullptr;
    // Starts the gate's controller thread; none: std::thread. Tests make it fail.
    std::function<std::thread(std::function<void()>)> start_thread;

    // Asks the stop test and remembers a yes: the tree is then incomplete.
    bool should_stop();

    // A fatal error inside a job, carried to the end of the pool scope.
    void keep_failure(std::exception_ptr failure);
    void rethrow_failure();

  private:
    std::mutex failure_mutex_;
    std::exception_ptr failure_;
};

// A directory descriptor shared by the jobs of its subfolders; closed when
// the last of them has opened its own folder. It also carries the folder's
// link of the chain of folders above the jobs (none: nothing is compared).
class SharedDirFd {
  public:
    explicit SharedDirFd(int fd) : fd_(fd) {}  // takes the descriptor over
    SharedDirFd(UniqueFd fd, std::shared_ptr<FolderChain> chain)
        : fd_(std::move(fd)), chain_(std::move(chain)) {}
    int fd() const { return fd_.get(); }
    const std::shared_ptr<FolderChain>& chain() const { return chain_; }

  private:
    UniqueFd fd_;
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

// One subfolder to walk, from its parent's listing.
struct FolderJobItem {
    std::string name;  // without the NUL
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    uint64_t device = 0;
    uint64_t file_id = 0;
    uint32_t name_id = 0;
};

// Lists one folder, records it and queues its subfolders. above is the chain
// of the folders above it (none for the root). A stop between batches keeps
// what was listed and queues nothing.
void read_directory(ScanContext& context, UniqueFd fd, std::shared_ptr<FolderChain> above,
                    uint32_t parent, uint32_t name_id, uint64_t file_id, uint64_t own_start,
                    uint64_t reclaimable_start);

// pending += items, then one job per item, in order.
void spawn_dir_jobs(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                    std::vector<FolderJobItem> items);

void run_dir_job(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                 FolderJobItem item);

}  // namespace bramwex::core
