// What the scan and show commands ask of their report or JSON document.
#pragma once

#include <cstdint>
#include <optional>

namespace bramwex::core {

struct OutputOptions {
    bool reclaimable = false;       // show reclaimable bytes (-r)
    bool si = false;                // powers of 1000
    bool json = false;              // JSON document instead of the text report
    std::optional<uint64_t> depth;  // JSON levels below the root; 1 when absent
    std::optional<uint16_t> top;    // list the N largest files
};

}  // namespace bramwex::core
