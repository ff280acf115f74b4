// What the tree on screen is: a saved scan (with its time), a snapshot of a
// scan under way, or a complete tree. The nanoseconds double as the tag.
#pragma once

#include <chrono>
#include <cstdint>

namespace bramwex::app {

struct ScanState {
    static constexpr uint32_t kSnapshot = 1'000'000'000;
    static constexpr uint32_t kComplete = 1'000'000'002;

    uint64_t seconds = 0;
    uint32_t nanoseconds = kSnapshot;

    static constexpr ScanState snapshot() { return {0, kSnapshot}; }
    static constexpr ScanState complete() { return {0, kComplete}; }
    static constexpr ScanState saved_at(uint64_t seconds, uint32_t nanoseconds) {
        return {seconds, nanoseconds};
    }

    bool is_saved() const { return nanoseconds < kSnapshot; }
    bool is_snapshot() const { return nanoseconds == kSnapshot; }
    bool is_complete() const { return nanoseconds == kComplete; }
    // The saved time; meaningful only for a saved scan.
    std::chrono::system_clock::time_point saved_time() const {
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
    }
    friend bool operator==(ScanState, ScanState) = default;
};

}  // namespace bramwex::app
