// Asking mounted file systems for their sizes without ever blocking for long.
// statvfs of a local file system answers at once; that of a network or FUSE
// file system whose server is gone can block for minutes, or for good. Those
// are asked on helper threads and waited for only until a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bramwex::core::sys {

struct MountSizes {
    uint64_t total = 0;
    uint64_t used = 0;
    uint64_t free = 0;
    friend bool operator==(const MountSizes&, const MountSizes&) = default;
};

using SizesAnswer = std::expected<MountSizes, int>;

// How one mount point is asked: statvfs_sizes, or a test's stand-in. It is
// called from several threads at once.
using AskSizes = std::function<SizesAnswer(const std::string& point)>;

SizesAnswer statvfs_sizes(const std::string& point);

// The products wrap without a check, like the counts they come from.
MountSizes sizes_from_blocks(uint64_t blocks, uint64_t free_blocks, uint64_t available_blocks,
                             uint64_t block_size);

// Whether a file system of this type depends on a server or a process that
// may never answer: network file systems and FUSE.
bool may_not_answer(std::string_view fs);

struct SizesQuestion {
    std::string point;
    std::string fs;
};

// The answers in the order of the questions. Local file systems are asked
// directly, the others on helper threads; one that has not answered when the
// wait (counted from the call) is over gets ETIMEDOUT.
std::vector<SizesAnswer> ask_sizes(std::span<const SizesQuestion> questions, const AskSizes& ask,
                                   std::chrono::steady_clock::duration wait);

}  // namespace bramwex::core::sys
