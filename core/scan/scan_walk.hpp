// The pieces of one walk shared by every folder job: the scan context, the
// listing of one folder into the builder, and the jobs themselves. Workers
// share the context by reference; the pool scope outlives every job. Private
// to core/scan: rescans go through subtree_walk.hpp.
#pragma once

#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/fd.hpp"
#include "core/scan/descriptor_budget.hpp"
#include "core/scan/folder_chain.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/link_settle.hpp"
#include "core/scan/scan.hpp"
#include "core/scan/scan_options.hpp"
#include "core/scan/subtree_walk.hpp"
#include "core/scan/worker_gate.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

struct PoolThreads {
    // The allowance goes before the arena. A finished arena is taken apart
    // by one of its workers, or, when the library may run no worker at all
    // (one CPU and no allowance), by the thread that ends it. Dropping the
    // allowance after ending the arena can send its workers to sleep before
    // one of them has taken it apart; tbb::finalize then waits forever.
    ~PoolThreads() { parallelism.reset(); }

    tbb::task_arena arena;
    // Held while the pool's size is not the library's default: above the
    // core count, or below what was asked when there was room for fewer.
    std::unique_ptr<tbb::global_control> parallelism;
};

struct ScanContext {
    ScanContext(const GateSettings& gate_settings, std::string root_path, bool reclaimable,
                uint64_t root_device, StopTest stop, sys::ReadMode read_mode);
    // A walk that adds new subtrees to an existing tree (the rescan).
    ScanContext(const GateSettings& gate_settings, BuilderBase base, bool reclaimable,
                uint64_t root_device, StopTest stop, sys::ReadMode read_mode);

    WorkerGate gate;
    TreeBuilder builder;
    std::optional<DescriptorBudget> descriptors;  // from when the walk starts
    std::mutex hard_links_mutex;
    FolderIndex hard_links;
    LinkHolders* link_holders = nullptr;  // under hard_links_mutex; recorded only when given
    LinkSightings link_sightings;         // under hard_links_mutex
    // A rescan's walk of new subtrees (with link_holders): every multi-link
    // file met goes here (under hard_links_mutex), for the rescan to list
    // from its holders, which know links outside the walk; none: the walk
    // lists them itself.
    std::vector<DeviceFile>* links_met = nullptr;
    uint64_t root_device = 0;
    StopTest stop;
    StopTest interrupt;  // as in ScanOptions; set once the context is made
    sys::ReadMode read_mode;
    std::atomic<bool> stopped{false};
    tbb::task_group* scope = nullptr;
    // Starts the gate's controller thread; none: std::thread. Tests make it fail.
    std::function<std::thread(std::function<void()>)> start_thread;

    // Before a folder below the root is opened: asks the interrupt, then the
    // stop test, and remembers a yes: the tree is then incomplete.
    bool should_stop();
    // Inside a listing or a wait of a folder already let in: asks only the
    // interrupt, and remembers a yes likewise.
    bool interrupted();

    // A fatal error inside a job, carried to the end of the pool scope.
    void keep_failure(std::exception_ptr failure);
    void rethrow_failure();

  private:
    std::mutex failure_mutex_;
    std::exception_ptr failure_;
};

// One subfolder to walk, from its parent's listing.
struct FolderJobItem {
    std::string name;  // without the NUL
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    uint64_t device = 0;
    uint64_t file_id = 0;
    uint32_t name_id = 0;
    bool mount_root = false;  // as the reader says
};

// The subfolders of the folder at parent as jobs, their names interned. One
// on another device, or one that repeats a folder of chain (a bind mount of
// an ancestor, or a folder inside one), is recorded as not entered instead.
std::vector<FolderJobItem> subfolder_jobs(ScanContext& context, uint32_t parent,
                                          std::vector<ListedSubfolder>& subfolders,
                                          const FolderChain* chain);

// Lists one folder, records it and queues its subfolders. above is the chain
// of the folders above it (none for the root); item says what the parent's
// listing said of it (own and reclaimable bytes start from its sizes). The
// root's descriptor is not counted in the budget and stays open for the
// walk. An interrupt between batches keeps what was listed and queues nothing.
void read_directory(ScanContext& context, BudgetedFd fd, std::shared_ptr<FolderChain> above,
                    uint32_t parent, FolderJobItem item);

// pending += items, then one job per item, in order.
void spawn_dir_jobs(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                    std::vector<FolderJobItem> items);

// The worker gate of a walk on this pool: a fixed limit when the count was
// given, else adaptive between min(cores, 4) and the cores.
GateSettings gate_for(const Pool& pool);

// Sets the context's descriptor budget from the descriptors free now (a
// context that never walks never counts them), runs seed inside one scope on
// the pool (it lists folders and spawns their jobs), waits for every job,
// then ends the gate and its controller thread. A fatal error of a job is
// kept in the context for the caller to raise; threads that cannot start are
// the error returned (seed may not have run).
Result<void> walk_on_pool(Pool& pool, ScanContext& context, const std::function<void()>& seed);

// The finished tree of the walk, each multi-link file counted where a walk
// in name order meets it first and, unless the walk reports the links it
// met, listed among the largest files by its name there.
Tree finish_walk(ScanContext& context, uint64_t event_id, bool stopped);

void run_dir_job(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                 FolderJobItem item);

}  // namespace bramwex::core
