#include "core/sys/mount_sizes.hpp"

#include <absl/container/flat_hash_map.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/base/eintr.hpp"

namespace bramwex::core::sys {

namespace {

constexpr std::array<std::string_view, 14> kMayNotAnswer = {
    "nfs",       "nfs4", "cifs", "smb3",   "smbfs", "ncpfs", "9p",
    "glusterfs", "afs",  "ceph", "lustre", "davfs", "coda",  "sshfs",
};

// One helper's question: answered once, read by any number of listings.
struct Pending {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<SizesAnswer> answer;
};

// The helpers still asking, by mount point. A helper stuck on a dead mount
// cannot be stopped (statvfs may sleep in the kernel for good), so it is
// detached and keeps its own share of its question; later listings wait on
// that same question instead of starting another helper. So at most one
// thread per mount point is ever blocked, and it leaves the table when it
// returns. The table is never destroyed, as a helper may outlive main.
struct InFlight {
    std::mutex mutex;
    absl::flat_hash_map<std::string, std::shared_ptr<Pending>> by_point;
};

InFlight& in_flight() {
    static InFlight* const table = new InFlight;
    return *table;
}

std::shared_ptr<Pending> ask_on_helper(const std::string& point, const AskSizes& ask) {
    InFlight& flight = in_flight();
    auto pending = std::make_shared<Pending>();
    {
        const std::lock_guard lock(flight.mutex);
        const auto [entry, fresh] = flight.by_point.try_emplace(point, pending);
        if (!fresh) {
            return entry->second;
        }
    }
    const auto finish = [&flight, point](const std::shared_ptr<Pending>& asked,
                                         SizesAnswer answer) {
        {
            const std::lock_guard lock(asked->mutex);
            asked->answer = std::move(answer);
        }
        asked->answered.notify_all();
        const std::lock_guard lock(flight.mutex);
        if (const auto entry = flight.by_point.find(point);
            entry != flight.by_point.end() && entry->second == asked) {
            flight.by_point.erase(entry);
        }
    };
    try {
        std::thread([pending, point, ask, finish] { finish(pending, ask(point)); }).detach();
    } catch (const std::system_error& failure) {
        finish(pending, std::unexpected(failure.code().value()));
    }
    return pending;
}

}  // namespace

SizesAnswer statvfs_sizes(const std::string& point) {
    struct statvfs info;
    if (retry_on_eintr([&] { return ::statvfs(point.c_str(), &info); }) != 0) {
        return std::unexpected(errno);
    }
    return sizes_from_blocks(info.f_blocks, info.f_bfree, info.f_bavail, info.f_frsize);
}

MountSizes sizes_from_blocks(uint64_t blocks, uint64_t free_blocks, uint64_t available_blocks,
                             uint64_t block_size) {
    MountSizes sizes;
    sizes.total = blocks * block_size;
    sizes.used = free_blocks > blocks ? 0 : (blocks - free_blocks) * block_size;
    sizes.free = available_blocks * block_size;
    return sizes;
}

bool may_not_answer(std::string_view fs) {
    return fs.starts_with("fuse") || std::ranges::find(kMayNotAnswer, fs) != kMayNotAnswer.end();
}

std::vector<SizesAnswer> ask_sizes(std::span<const SizesQuestion> questions, const AskSizes& ask,
                                   std::chrono::steady_clock::duration wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::vector<SizesAnswer> answers(questions.size(), std::unexpected(ETIMEDOUT));
    std::vector<std::pair<size_t, std::shared_ptr<Pending>>> helpers;
    for (size_t k = 0; k < questions.size(); ++k) {
        if (may_not_answer(questions[k].fs)) {
            helpers.emplace_back(k, ask_on_helper(questions[k].point, ask));
        }
    }
    for (size_t k = 0; k < questions.size(); ++k) {
        if (!may_not_answer(questions[k].fs)) {
            answers[k] = ask(questions[k].point);
        }
    }
    for (const auto& [k, pending] : helpers) {
        std::unique_lock lock(pending->mutex);
        if (pending->answered.wait_until(lock, deadline,
                                         [&] { return pending->answer.has_value(); })) {
            answers[k] = *pending->answer;
        }
    }
    return answers;
}

}  // namespace bramwex::core::sys
