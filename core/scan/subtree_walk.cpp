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

}  // namespace

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

Result<Tree> walk_new_subtrees(Pool& pool, SubtreeWalk walk, std::vector<NewSubtrees> groups,
                               const std::function<void(TreeBuilder&)>& seed) {
    ScanContext scan(gate_for(pool), std::move(walk.base), walk.reclaimable, walk.root_device,
                     std::move(walk.stop), walk.read_mode);
    scan.interrupt = std::move(walk.interrupt);
    scan.hard_links = std::move(walk.hard_links);
    scan.link_holders = walk.link_holders;
    scan.links_met = walk.links_met;
    seed(scan.builder);
    if (!groups.empty()) {
        const auto walked = walk_on_pool(pool, scan, [&] {
            for (NewSubtrees& group : groups) {
                // The jobs below compare with the same chain, so a cycle
                // deeper in a new subtree is caught as in a full scan; they
                // reopen folders from the group's folder.
                std::shared_ptr<FolderChain> chain =
                    group.dir
                        ? group.ancestors.chain(std::move(group.dir))
                        : group.ancestors.chain_by_name(std::move(group.root), group.components);
                std::vector<FolderJobItem> items =
                    subfolder_jobs(scan, group.parent, group.subfolders, chain.get());
                if (!items.empty()) {
                    spawn_dir_jobs(scan,
                                   std::make_shared<SharedDirFd>(BudgetedFd(), std::move(chain)),
                                   group.parent, std::move(items));
                }
            }
        });
        if (!walked) {
            return std::unexpected(walked.error());
        }
        scan.rethrow_failure();
    }
    const bool stopped = walk.stopped || scan.stopped.load(std::memory_order_relaxed);
    return finish_walk(scan, walk.event_id, stopped);
}

}  // namespace bramwex::core
