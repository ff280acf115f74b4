// `bramwex scan`: scan PATH, print the report, save the scan for `show`.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "app/cli.hpp"

namespace bramwex::app {

// The stop test `scan` hands to the engine: the --stop-after count, or a
// stopping signal. Asked from several workers at once.
class StopCheck {
  public:
    StopCheck(std::optional<uint64_t> stop_after, const std::atomic<int>* signal)
        : stop_after_(stop_after), signal_(signal) {}
    bool should_stop();

  private:
    std::optional<uint64_t> stop_after_;
    const std::atomic<int>* signal_;
    std::atomic<uint64_t> counter_{0};
};

int cli_scan(const ScanCommand& command);

}  // namespace bramwex::app
