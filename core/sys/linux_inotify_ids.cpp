#include "core/sys/linux_inotify_ids.hpp"

#include <time.h>

#include <atomic>

namespace bramwex::core::sys::inotify {

namespace {
std::atomic<uint64_t> last_id{0};
}  // namespace

uint64_t realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

FsEventStreamEventId next_event_id() {
    const uint64_t now = realtime_ns();
    uint64_t last = last_id.load(std::memory_order_relaxed);
    uint64_t next = 0;
    do {
        next = now > last ? now : last + 1;
    } while (!last_id.compare_exchange_weak(last, next, std::memory_order_relaxed));
    return next;
}

}  // namespace bramwex::core::sys::inotify
