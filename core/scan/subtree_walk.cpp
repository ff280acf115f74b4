#include "core/scan/subtree_walk.hpp"

#include <tbb/task_group.h>

#include <algorithm>
#include <utility>

#include "core/scan/scan_walk.hpp"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace bramwex::core {

namespace {

// One task of for_each_on_pool. The pool's library is not visible to the
// thread sanitizer, so the hand-over of the task to a worker and of its
// results back to the caller is stated for it here; nothing in other builds.
struct PoolTask {
    PoolTask(const std::function<void(size_t)>* task_, size_t index_)
        : task(task_), index(index_) {}
    PoolTask(PoolTask&& other) noexcept : task(other.task), index(other.index) {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(this);
#endif
    }
    void operator()() const {
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(const_cast<PoolTask*>(this));
#endif
        (*task)(index);
#if defined(__SANITIZE_THREAD__)
        __tsan_release(const_cast<std::function<void(size_t)>*>(task));
#endif
    }
    const std::function<void(size_t)>* task;
    size_t index;
};

// The subfolders of one group as folder jobs; those that repeat an ancestor
// are recorded as never entered instead.
std::vector<FolderJobItem> job_items(ScanContext& scan, NewSubtrees& group) {
    std::vector<std::string_view> names;
    names.reserve(group.subfolders.size());
    for (const ListedSubfolder& subfolder : group.subfolders) {
        names.push_back(subfolder.name);
    }
    std::vector<uint32_t> ids(names.size());
    scan.builder.intern_names(names, ids);
    std::vector<FolderJobItem> items;
    items.reserve(group.subfolders.size());
    for (size_t k = 0; k < group.subfolders.size(); ++k) {
        ListedSubfolder& subfolder = group.subfolders[k];
        if (repeats_an_ancestor(group.ancestors, {subfolder.device, subfolder.file_id})) {
            scan.builder.add_folder({0, group.parent, ids[k],
                                     static_cast<uint32_t>(subfolder.file_id), kFlagOtherDevice, 0},
                                    0);
            continue;
        }
        items.push_back({std::move(subfolder.name), subfolder.allocated, subfolder.reclaimable,
                         subfolder.device, subfolder.file_id, ids[k]});
    }
    return items;
}

}  // namespace

bool repeats_an_ancestor(std::span<const DeviceFile> ancestors, DeviceFile folder) {
    return std::find(ancestors.begin(), ancestors.end(), folder) != ancestors.end();
}

void for_each_on_pool(Pool& pool, size_t count, const std::function<void(size_t)>& task) {
    if (count <= 1) {
        if (count == 1) {
            task(0);  // not worth a hand-over
        }
        return;
    }
    pool.threads->arena.execute([&] {
        tbb::task_group group;
        for (size_t k = 0; k < count; ++k) {
            group.run(PoolTask(&task, k));
        }
        group.wait();
    });
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<std::function<void(size_t)>*>(&task));
#endif
}

Tree walk_new_subtrees(Pool& pool, SubtreeWalk walk, std::vector<NewSubtrees> groups,
                       const std::function<void(TreeBuilder&)>& seed) {
    ScanContext scan(gate_for(pool), std::move(walk.base), walk.reclaimable, walk.root_device,
                     std::move(walk.stop), walk.read_mode);
    scan.hard_links = std::move(walk.hard_links);
    scan.link_holders = walk.link_holders;
    seed(scan.builder);
    if (!groups.empty()) {
        walk_on_pool(pool, scan, [&] {
            for (NewSubtrees& group : groups) {
                std::vector<FolderJobItem> items = job_items(scan, group);
                if (!items.empty()) {
                    spawn_dir_jobs(scan, std::move(group.dir), group.parent, std::move(items));
                }
            }
        });
        scan.rethrow_failure();
    }
    const bool stopped = walk.stopped || scan.stopped.load(std::memory_order_relaxed);
    FolderIndex hard_links = std::move(scan.hard_links);
    return scan.builder.finish(std::move(hard_links), walk.event_id, stopped);
}

}  // namespace bramwex::core
