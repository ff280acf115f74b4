// The scan entry: walks the whole tree below a folder on a pool of worker
// threads and returns the finished Tree. Each directory is one job; jobs spawn
// jobs for their subfolders on the same device. Threading: the caller waits in
// the pool scope; workers run jobs; with an automatic worker count, one
// controller thread adapts the worker gate every 100 ms.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/scan_options.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/tree.hpp"
#include "core/tree/tree_builder.hpp"

namespace bramwex::core {

struct PoolThreads;  // the threading library's pool, kept out of this header

// The worker pool of one scan (or of a long-lived live following).
struct Pool {
    Pool();
    Pool(Pool&&) noexcept;
    Pool& operator=(Pool&&) noexcept;
    ~Pool();

    bool threads_given = false;
    uint32_t count = 1;
    std::unique_ptr<PoolThreads> threads;
};

// min(count, 65535) workers: the given count, else the online processors.
Result<Pool> build_pool(std::optional<uint32_t> threads);

// What live following learns from a scan while it runs.
struct ScanHooks {
    // Called once the walk's builder exists, before the root is listed, with
    // the handles that snapshots read.
    std::function<void(const BuilderParts&)> started;
    // The file-system event id current when the walk begins (0 without one).
    std::function<uint64_t()> current_event_id;
    // When given, filled with every folder holding a link of each multi-link
    // file, for the rescans that follow the scan.
    LinkHolders* link_holders = nullptr;
};

// The scanner of live following: one pool for every scan and rescan of its
// life, and the options of its scans.
struct Scanner {
    std::shared_ptr<Pool> pool;
    ScanOptions options;

    // scan_tree on the kept pool, reporting through hooks; the tree carries
    // the event id taken at the start.
    Result<Tree> scan(std::string_view path, const ScanHooks& hooks) const;
};

// Scans the folder at path; errors before the walk (opening the root, its
// fstat and fstatfs) are returned; unreadable folders below become data.
Result<Tree> scan_tree(std::string_view path, const ScanOptions& options);

// Raises the soft open-file limit towards min(hard, 65536): a walk keeps each
// folder open until every child job has opened its own.
void raise_open_file_limit();

// Online processors, at least 1.
uint32_t online_cores();

namespace detail {
// scan_tree with the directory reader chosen by the caller instead of probed,
// so the bulk reader can be exercised on file systems that do not offer it.
Result<Tree> scan_tree_with_read_mode(std::string_view path, const ScanOptions& options,
                                      std::optional<sys::ReadMode> forced);
}  // namespace detail

}  // namespace bramwex::core
