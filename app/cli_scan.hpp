// `bramwex scan`: scan PATH, print the report, save the scan for `show`.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/cli.hpp"

namespace bramwex::app {

// The stop test `scan` hands to the engine for --stop-after: yes once that
// many folders below the root were let in. Asked from several workers at once.
class StopCheck {
  public:
    explicit StopCheck(uint64_t stop_after) : stop_after_(stop_after) {}
    bool should_stop();

  private:
    uint64_t stop_after_;
    std::atomic<uint64_t> counter_{0};
};

int cli_scan(const ScanCommand& command);

}  // namespace bramwex::app
