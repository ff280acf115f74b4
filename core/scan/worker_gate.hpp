// How many pool workers may run folder jobs at once. A scan mostly waits on
// the disk, so when no thread count was given a controller thread measures
// how busy the processor is every 100 ms and widens or narrows the gate;
// workers whose pool index is at or above the limit park on its condition
// variable until the limit rises or the walk is over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

namespace bramwex::core {

// Bounds (min, max) when the controller adapts the limit; none for a fixed one.
struct GateSettings {
    std::optional<std::pair<uint32_t, uint32_t>> bounds;
    uint32_t limit = 1;
};

class WorkerGate {
  public:
    explicit WorkerGate(const GateSettings& settings)
        : bounds_(settings.bounds), limit_(settings.limit) {}

    const std::optional<std::pair<uint32_t, uint32_t>>& bounds() const { return bounds_; }
    uint32_t limit() const { return limit_.load(std::memory_order_relaxed); }

    // Whether a worker with this pool index must park now.
    bool must_park(uint32_t worker_index) const { return bounds_ && worker_index >= limit(); }
    // Parks until the index is below the limit or no job is pending.
    void park(uint32_t worker_index);

    void add_pending(uint64_t count) { pending_.fetch_add(count, std::memory_order_relaxed); }
    // One job finished; wakes parked workers when it was the last.
    void finish_one();
    uint64_t pending() const { return pending_.load(std::memory_order_acquire); }

    // The walk is over: sets done and wakes everyone, the controller included.
    void set_done();

    // The controller thread's body; returns once set_done was called.
    void control(uint32_t min, uint32_t max);

    // The controller's rule: doubling with a backlog and an idle processor,
    // plus one with moderate use, minus one when busy; clamped to [min, max].
    static uint32_t next_limit(double utilisation, uint64_t pending, uint32_t limit, uint32_t min,
                               uint32_t max);

  private:
    std::optional<std::pair<uint32_t, uint32_t>> bounds_;
    std::atomic<uint32_t> limit_;
    std::atomic<uint64_t> pending_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
};

}  // namespace bramwex::core
