// The scan entry: walks the whole tree below a folder on a pool of worker
// threads and returns the finished Tree. Each directory is one job; jobs spawn
// jobs for their subfolders on the same device. Threading: the caller waits in
// the pool scope; workers run jobs; with an automatic worker count, one
// controller thread adapts the worker gate every 100 ms.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "core/error.hpp"
#include "core/scan_options.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree.hpp"

namespace bramwex::core {

// The worker pool of one scan (or of a long-lived live following).
struct Pool {
    bool threads_given = false;
    uint32_t count = 1;
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<tbb::global_control> allow_more_threads;  // only above the core count
};

// min(count, 65535) workers: the given count, else the online processors.
Result<Pool> build_pool(std::optional<uint32_t> threads);

// Scans the folder at path; errors before the walk (opening the root, its
// fstat and fstatfs) are returned; unreadable folders below become data.
Result<Tree> scan_tree(std::string_view path, const ScanOptions& options);

// Opens "." relative to dir_fd, then each name in turn without following
// links, closing each descriptor once the next is open.
std::expected<int, int> open_dir_components(int dir_fd, std::span<const std::string> names);

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
