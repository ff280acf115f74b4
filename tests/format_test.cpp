#include "core/output/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <tuple>

namespace bramwex::core {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(FormatSize, UnitBoundaries) {
    const std::tuple<bool, uint64_t, const char*> cases[] = {
        {false, 0, "0 B"},
        {true, 999, "999 B"},
        {true, 1000, "1.0 kB"},
        {false, 1023, "1023 B"},
        {false, 1024, "1.0 KiB"},
        {false, 1126, "1.1 KiB"},
        {false, 1048575, "1024.0 KiB"},  // the unit is chosen before rounding
        {false, 1048576, "1.0 MiB"},
        {false, uint64_t{1} << 60, "1024.0 PiB"},  // the table ends at peta
        {false, kMax, "16384.0 PiB"},
        {true, kMax, "18446.7 PB"},
    };
    for (const auto& [si, bytes, text] : cases) {
        EXPECT_EQ(format_size(si, bytes), text);
    }
}

TEST(FormatSize, ReportCellsAreRightAlignedToTenAndNeverCut) {
    const std::tuple<bool, bool, uint64_t, uint64_t, const char*> cases[] = {
        {false, false, 0, 99, "       0 B"},
        {false, true, 1500, 0, "    1.5 kB"},
        {false, false, kMax, 0, "16384.0 PiB"},
        {true, false, 1536, 0, "   1.5 KiB         0 B"},
        {true, true, 5, kMax, "       5 B  18446.7 PB"},
    };
    for (const auto& [reclaimable, si, size, reclaimable_bytes, text] : cases) {
        EXPECT_EQ(report_size_cells(reclaimable, si, size, reclaimable_bytes), text);
    }
}

}  // namespace
}  // namespace bramwex::core
