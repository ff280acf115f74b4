#include "core/scan/scan.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <tbb/global_control.h>
#include <tbb/task_group.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include "core/base/fd.hpp"
#include "core/scan/scan_walk.hpp"
#include "core/scan/subtree_walk.hpp"
#include "core/sys/startable_threads.hpp"

namespace bramwex::core {

namespace {

constexpr uint32_t kMaxWorkers = 65535;
// What the pool leaves startable: the threads each scan starts beside it (the
// gate's controller, the live scan's thread), and address space for their
// larger default stacks and for the first folders' memory.
constexpr uint32_t kSpareThreads = 2;
constexpr size_t kSpareBytes = size_t{32} << 20;

}  // namespace

Result<PreparedRoot> prepare_root(std::string_view path, const ScanOptions& options,
                                  std::optional<sys::ReadMode> forced) {
    const auto opened = sys::open_dir_path(path);
    if (!opened) {
        return std::unexpected(Error::os(opened.error(), std::string(path)));
    }
    UniqueFd fd(*opened);
    PreparedRoot root;
    const auto stat = sys::stat_fd(fd.get());
    if (!stat) {
        return std::unexpected(Error::os(stat.error(), std::string(path)));
    }
    root.stat = *stat;
    if (forced) {
        root.read_mode = *forced;
    } else if (options.reader == Reader::Auto) {
        const auto mode = sys::read_mode_of_fd(fd.get(), options.reclaimable);
        if (!mode) {
            return std::unexpected(Error::os(mode.error(), std::string(path)));
        }
        root.read_mode = *mode;
    }
    // The portable reader never probes: bulk and reclaimable mode stay off.
    root.fd = fd.release();
    return root;
}

namespace {

Error cannot_start_threads(const std::exception& failure) {
    return Error::text(fmt::format("cannot start threads: {}", failure.what()));
}

Result<Tree> scan_with_pool(Pool& pool, std::string_view path, const ScanOptions& options,
                            std::optional<sys::ReadMode> forced, const ScanHooks* hooks) {
    raise_open_file_limit();
    auto root = prepare_root(path, options, forced);
    if (!root) {
        return std::unexpected(root.error());
    }
    UniqueFd root_fd(std::exchange(root->fd, -1));
    const uint64_t event_id =
        hooks != nullptr && hooks->current_event_id ? hooks->current_event_id() : 0;
    ScanContext context(gate_for(pool), std::string(path), options.reclaimable, root->stat.device,
                        options.stop, root->read_mode);
    context.interrupt = options.interrupt;
    if (hooks != nullptr) {
        context.link_holders = hooks->link_holders;
        context.start_thread = hooks->start_thread;
        if (hooks->started) {
            hooks->started(context.builder.parts());
        }
    }
    const sys::FdStat& stat = root->stat;
    const auto walked = walk_on_pool(pool, context, [&] {
        read_directory(context, BudgetedFd(root_fd.release(), nullptr), nullptr, kNoParent,
                       {"", stat.allocated, options.reclaimable ? stat.allocated : 0, stat.device,
                        stat.file_id, 0, false});
    });
    if (!walked) {
        return std::unexpected(walked.error());
    }
    context.rethrow_failure();
    return finish_walk(context, event_id, context.stopped.load(std::memory_order_relaxed));
}

}  // namespace

GateSettings gate_for(const Pool& pool) {
    if (pool.threads_given) {
        return {std::nullopt, pool.count};
    }
    const uint32_t cores = online_cores();
    const uint32_t start = std::min(cores, 4u);
    return {std::pair{start, cores}, start};
}

Result<void> walk_on_pool(Pool& pool, ScanContext& context, const std::function<void()>& seed) {
    context.descriptors.emplace(DescriptorBudget::from_limit());
    std::thread controller;
    if (const auto& bounds = context.gate.bounds()) {
        std::function<void()> body = [&context, bounds = *bounds] {
            context.gate.control(bounds.first, bounds.second);
        };
        try {
            controller = context.start_thread ? context.start_thread(std::move(body))
                                              : std::thread(std::move(body));
        } catch (const std::exception& failure) {
            return std::unexpected(cannot_start_threads(failure));
        }
    }
    Result<void> walked;
    try {
        // The pool starts its threads as work arrives; the library reports a
        // failure to start one as an exception here.
        pool.threads->arena.execute([&] {
            tbb::task_group scope;
            context.scope = &scope;
            try {
                seed();
            } catch (...) {
                context.keep_failure(std::current_exception());
            }
            scope.wait();
        });
    } catch (const std::exception& failure) {
        walked = std::unexpected(cannot_start_threads(failure));
    }
    // The last job to finish took the gate mutex after its last write, so
    // set_done orders every job's writes before what follows.
    context.gate.set_done();
    context.scope = nullptr;
    if (controller.joinable()) {
        controller.join();
    }
    return walked;
}

Result<Tree> Scanner::scan(std::string_view path, const ScanHooks& hooks) const {
    return scan_with_pool(*pool, path, options, std::nullopt, &hooks);
}

uint32_t online_cores() {
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<uint32_t>(cores) : 1;
}

Result<Pool> build_pool(std::optional<uint32_t> threads) {
    Pool pool;
    pool.threads_given = threads.has_value();
    pool.count = std::min(threads.value_or(online_cores()), kMaxWorkers);
    if (pool.count == 0) {
        return std::unexpected(Error::text("the number of threads must be at least 1"));
    }
    try {
        // The library starts the pool's threads as work arrives, some from its
        // own threads, where a failure to start one ends the process. So the
        // pool holds no more threads than the process can start now, less
        // room for the threads each scan starts beside it (the gate's
        // controller, the live scan's thread) and for the first folders'
        // memory; the library is then kept from wanting more. The caller's
        // thread is the pool's first.
        const uint32_t asked = pool.count;
        if (asked > 1) {
            const size_t stack =
                tbb::global_control::active_value(tbb::global_control::thread_stack_size);
            const uint32_t room =
                sys::startable_threads(asked - 1 + kSpareThreads, stack, kSpareBytes);
            pool.count = 1 + std::min(asked - 1, room - std::min(room, kSpareThreads));
        }
        // The library's threads are capped at the core count unless allowed more.
        std::unique_ptr<tbb::global_control> parallelism;
        if (pool.count < asked ||
            pool.count > static_cast<uint32_t>(tbb::this_task_arena::max_concurrency())) {
            parallelism = std::make_unique<tbb::global_control>(
                tbb::global_control::max_allowed_parallelism, pool.count);
        }
        pool.threads = std::make_unique<PoolThreads>(tbb::task_arena(static_cast<int>(pool.count)),
                                                     std::move(parallelism));
        pool.threads->arena.initialize();
    } catch (const std::exception& failure) {
        return std::unexpected(cannot_start_threads(failure));
    }
    return pool;
}

void raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t target = std::min<rlim_t>(limit.rlim_max, 65536);
    if (limit.rlim_cur >= target || limit.rlim_cur == RLIM_INFINITY) {
        return;
    }
    rlimit raised = limit;
    raised.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 10240);
        ::setrlimit(RLIMIT_NOFILE, &raised);
    }
}

Result<Tree> scan_tree(std::string_view path, const ScanOptions& options) {
    return detail::scan_tree_with_read_mode(path, options, std::nullopt);
}

namespace detail {

Result<Tree> scan_tree_with_read_mode(std::string_view path, const ScanOptions& options,
                                      std::optional<sys::ReadMode> forced, const ScanHooks* hooks) {
    // Held across the scan so that the pool library's worker threads can be
    // waited for once the pool is gone, instead of idling for the process's life.
    tbb::task_scheduler_handle scheduler;
    try {
        scheduler = tbb::task_scheduler_handle(tbb::attach{});
    } catch (const std::exception& failure) {
        return std::unexpected(cannot_start_threads(failure));
    }
    Result<Tree> scanned = [&]() -> Result<Tree> {
        auto pool = build_pool(options.threads);
        if (!pool) {
            return std::unexpected(pool.error());
        }
        return scan_with_pool(*pool, path, options, forced, hooks);
    }();
    // Ends the workers unless another pool of the process (live following,
    // a scan on another thread) still uses them; then they stay for it.
    (void)tbb::finalize(scheduler, std::nothrow);
    return scanned;
}

}  // namespace detail

std::expected<int, int> open_dir_components(int dir_fd, std::span<const std::string> names,
                                            FolderPath* folders) {
    UniqueFd current;
    // Opens name below at, closing the folder before it only once it is open.
    const auto open_next = [&](int at, const std::string& name) -> std::optional<int> {
        const auto next = sys::open_subdir_at(at, name);
        if (!next) {
            return next.error();
        }
        current.reset(*next);
        if (folders != nullptr) {
            const auto stat = sys::stat_fd(current.get());
            if (!stat) {
                return stat.error();
            }
            if (stat->mount_root && !folders->folders.empty() && folders->first_mount_root == 0) {
                folders->first_mount_root = folders->folders.size();
            }
            folders->folders.push_back({stat->device, stat->file_id});
        }
        return std::nullopt;
    };
    if (const auto error = open_next(dir_fd, ".")) {
        return std::unexpected(*error);
    }
    for (const std::string& name : names) {
        if (const auto error = open_next(current.get(), name)) {
            return std::unexpected(*error);
        }
    }
    return current.release();
}

Pool::Pool() = default;
Pool::Pool(Pool&&) noexcept = default;
Pool& Pool::operator=(Pool&&) noexcept = default;
Pool::~Pool() = default;

}  // namespace bramwex::core
