// Size texts shown everywhere a byte count appears, and the report's size cells.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bramwex::core {

// "{} B" below the base (1000 with si, else 1024); else one decimal and the
// unit, chosen before rounding (1048575 bytes are "1024.0 KiB"); PiB/PB at most.
std::string format_size(bool si, uint64_t bytes);

// The size right-aligned to 10, plus two spaces and the reclaimable cell when shown.
std::string report_size_cells(bool show_reclaimable, bool si, uint64_t size, uint64_t reclaimable);

// The part after the last ": ", or the whole text when there is none.
std::string_view after_last_colon(std::string_view text);

}  // namespace bramwex::core
