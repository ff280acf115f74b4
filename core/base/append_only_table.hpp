// An append-only table that any number of threads grow without locks while
// others read: bucket b holds 32 x 2^b slots, so entries never move and a
// reader needs no lock for an index that was handed out. Each slot carries a
// written flag; the first thread that needs a bucket allocates it.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/base/fatal.hpp"

namespace bramwex::core {

template <class T>
class AppendOnlyTable {
  public:
    AppendOnlyTable() = default;
    AppendOnlyTable(const AppendOnlyTable&) = delete;
    AppendOnlyTable& operator=(const AppendOnlyTable&) = delete;
    ~AppendOnlyTable() {
        for (auto& bucket : buckets_) {
            delete[] bucket.load(std::memory_order_relaxed);
        }
    }

    // Where index i lives: bucket floor(log2(i + 32)) - 5, at i + 32 - 2^floor(log2(i + 32)).
    struct Location {
        unsigned bucket;
        uint64_t slot;
    };
    static constexpr Location locate(uint64_t index) {
        const uint64_t shifted = index + kFirstBucketSize;
        const unsigned log2 = std::bit_width(shifted) - 1;
        return {log2 - kFirstBucketLog2, shifted - (uint64_t{1} << log2)};
    }
    static constexpr uint64_t bucket_size(unsigned bucket) { return kFirstBucketSize << bucket; }

    // Appends and returns the new entry's index. Safe from any number of threads.
    uint64_t push(T value) {
        const uint64_t index = next_.fetch_add(1, std::memory_order_relaxed);
        const auto [bucket, slot] = locate(index);
        if (bucket >= kBuckets) {
            // Callers stop at 2^32 entries; this guards the buckets themselves.
            fatal("append-only table is full at index {}", index);
        }
        Slot& target = bucket_for_write(bucket)[slot];
        target.value = std::move(value);
        target.written.store(true, std::memory_order_release);
        return index;
    }

    // The entry at index, or nullptr when it was never written (or not yet).
    const T* get(uint64_t index) const {
        const auto [bucket, slot] = locate(index);
        if (bucket >= kBuckets) {
            return nullptr;
        }
        const Slot* slots = buckets_[bucket].load(std::memory_order_acquire);
        if (slots == nullptr || !slots[slot].written.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots[slot].value;
    }

    // How many indices were handed out; some may not be written yet.
    uint64_t reserved() const { return next_.load(std::memory_order_acquire); }

    // Calls f(index, value) for every entry from 0 up to, not including, the
    // first unwritten slot; returns that count (a gap-free prefix).
    template <class F>
    uint64_t for_each_written_prefix(F&& f) const {
        const uint64_t limit = reserved();
        uint64_t index = 0;
        for (; index < limit; ++index) {
            const T* value = get(index);
            if (value == nullptr) {
                break;
            }
            f(index, *value);
        }
        return index;
    }

    // Calls f(index, value) for every written entry (after all writers ended).
    template <class F>
    void for_each_written(F&& f) const {
        const uint64_t limit = reserved();
        for (uint64_t index = 0; index < limit; ++index) {
            if (const T* value = get(index)) {
                f(index, *value);
            }
        }
    }

  private:
    static constexpr unsigned kFirstBucketLog2 = 5;
    static constexpr uint64_t kFirstBucketSize = uint64_t{1} << kFirstBucketLog2;
    // Enough buckets for 2^32 entries: 32 x (2^28 - 1) > 2^32.
    static constexpr unsigned kBuckets = 28;

    struct Slot {
        T value{};
        std::atomic<bool> written{false};
    };

    Slot* bucket_for_write(unsigned bucket) {
        Slot* slots = buckets_[bucket].load(std::memory_order_acquire);
        if (slots != nullptr) {
            return slots;
        }
        auto fresh = std::make_unique<Slot[]>(bucket_size(bucket));
        if (buckets_[bucket].compare_exchange_strong(slots, fresh.get(), std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
            return fresh.release();
        }
        return slots;  // another thread won the race; ours is freed
    }

    std::atomic<Slot*> buckets_[kBuckets] = {};
    std::atomic<uint64_t> next_{0};
};

}  // namespace bramwex::core
