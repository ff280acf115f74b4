#include "core/scan/worker_gate.hpp"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace bramwex::core {

namespace {

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

void WorkerGate::park(uint32_t worker_index) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return worker_index < limit() || pending() == 0; });
}

void WorkerGate::finish_one() {
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    }
}

void WorkerGate::set_done() {
    std::lock_guard lock(mutex_);
    done_ = true;
    wake_.notify_all();
}

uint32_t WorkerGate::next_limit(double utilisation, uint64_t pending, uint32_t limit, uint32_t min,
                                uint32_t max) {
    uint32_t next = limit;
    if (utilisation < 0.25 && pending > limit) {
        next = limit * 2;
    } else if (utilisation < 0.5 && pending > limit) {
        next = limit + 1;
    } else if (utilisation > 0.75) {
        next = limit > 0 ? limit - 1 : 0;
    }
    return std::clamp(next, min, max);
}

void WorkerGate::control(uint32_t min, uint32_t max) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex_);
    auto wall = Clock::now();
    double cpu = process_cpu_seconds();
    // A walk can end before this thread first takes the lock; its wake-up is
    // then already gone, so done is checked before every wait.
    while (!done_) {
        wake_.wait_for(lock, std::chrono::milliseconds(100));
        if (done_) {
            return;
        }
        const auto wall_now = Clock::now();
        const double cpu_now = process_cpu_seconds();
        const double w = std::max(0.0, std::chrono::duration<double>(wall_now - wall).count());
        const double c = cpu_now - cpu;
        const uint32_t limit_now = limit();
        const double utilisation = (c / w) / limit_now;
        const uint32_t next = next_limit(utilisation, pending(), limit_now, min, max);
        if (next != limit_now) {
            limit_.store(next, std::memory_order_relaxed);
            wake_.notify_all();
        }
        wall = wall_now;
        cpu = cpu_now;
    }
}

}  // namespace bramwex::core
