#include "core/scan/descriptor_budget.hpp"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>

namespace bramwex::core {

namespace {

// Left for what else the process opens while a walk runs: the standard
// streams, a log, the saved scan, the event source, another walk's root.
constexpr int64_t kReserve = 16;
// A job reopening a folder name by name holds two; a third keeps a folder open.
constexpr int64_t kMinimum = 3;
// Where the limit is unlimited; far more than a walk of any width needs.
constexpr int64_t kUnlimited = int64_t{1} << 20;

// Descriptors the process holds now; half the limit when they cannot be counted.
int64_t open_descriptors(int64_t limit) {
    DIR* listed = ::opendir("/proc/self/fd");
    if (listed == nullptr) {
        return limit / 2;
    }
    int64_t count = -3;  // ".", ".." and the listing's own descriptor
    while (::readdir(listed) != nullptr) {
        ++count;
    }
    ::closedir(listed);
    return std::max<int64_t>(count, 0);
}

}  // namespace

DescriptorBudget::DescriptorBudget(int64_t capacity)
    : capacity_(std::max(capacity, kMinimum)), free_(capacity_) {}

int64_t DescriptorBudget::from_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(kUnlimited)) {
        return kUnlimited;
    }
    const auto soft = static_cast<int64_t>(limit.rlim_cur);
    return soft - open_descriptors(soft) - kReserve;
}

void DescriptorBudget::take(int64_t count) {
    const auto try_take = [&] {
        int64_t available = free_.load();
        while (available >= count) {
            if (free_.compare_exchange_weak(available, available - count)) {
                return true;
            }
        }
        return false;
    };
    if (try_take()) {
        return;
    }
    std::unique_lock lock(mutex_);
    // Counted before the check: a give that lands after it sees a waiter.
    waiters_.fetch_add(1);
    released_.wait(lock, try_take);
    waiters_.fetch_sub(1);
}

void DescriptorBudget::give(int64_t count) {
    free_.fetch_add(count);
    if (waiters_.load() != 0) {
        std::lock_guard lock(mutex_);
        ++releases_;
        released_.notify_all();
    }
}

bool DescriptorBudget::try_keep() {
    int64_t kept = kept_.load(std::memory_order_relaxed);
    while (kept < capacity_ - 2) {
        if (kept_.compare_exchange_weak(kept, kept + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void DescriptorBudget::end_keep() {
    kept_.fetch_sub(1, std::memory_order_relaxed);
}

void DescriptorBudget::wait_for_release() {
    std::unique_lock lock(mutex_);
    // Counted before the release count is read: a give that lands after it
    // sees a waiter and counts its release.
    waiters_.fetch_add(1);
    const uint64_t seen = releases_;
    // Descriptors held elsewhere in the process come back without a word to
    // this walk: a short wait then lets the caller try again.
    released_.wait_for(lock, std::chrono::milliseconds(10), [&] { return releases_ != seen; });
    waiters_.fetch_sub(1);
}

}  // namespace bramwex::core
