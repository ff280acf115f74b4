#include "core/output/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace bramwex::core {
namespace {

struct SizeCase {
    bool si;
    uint64_t bytes;
    const char* text;
};

class FormatSize : public testing::TestWithParam<SizeCase> {};

TEST_P(FormatSize, Text) {
    EXPECT_EQ(format_size(GetParam().si, GetParam().bytes), GetParam().text);
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FormatSize,
    testing::Values(SizeCase{false, 0, "0 B"}, SizeCase{true, 999, "999 B"},
                    SizeCase{true, 1000, "1.0 kB"}, SizeCase{false, 1023, "1023 B"},
                    SizeCase{false, 1024, "1.0 KiB"}, SizeCase{false, 1126, "1.1 KiB"},
                    // The unit is chosen before rounding.
                    SizeCase{false, 1048575, "1024.0 KiB"}, SizeCase{false, 1048576, "1.0 MiB"},
                    SizeCase{true, 999999, "1000.0 kB"},
                    SizeCase{false, uint64_t{1} << 50, "1.0 PiB"},
                    // The table ends at peta.
                    SizeCase{false, uint64_t{1} << 60, "1024.0 PiB"},
                    SizeCase{false, kMax, "16384.0 PiB"}, SizeCase{true, kMax, "18446.7 PB"}));

struct CellCase {
    bool reclaimable;
    bool si;
    uint64_t size;
    uint64_t reclaimable_bytes;
    const char* text;
};

class ReportSizeCells : public testing::TestWithParam<CellCase> {};

TEST_P(ReportSizeCells, RightAlignedToTen) {
    const CellCase& c = GetParam();
    EXPECT_EQ(report_size_cells(c.reclaimable, c.si, c.size, c.reclaimable_bytes), c.text);
}

INSTANTIATE_TEST_SUITE_P(Widths, ReportSizeCells,
                         testing::Values(CellCase{false, false, 0, 99, "       0 B"},
                                         CellCase{false, true, 1500, 0, "    1.5 kB"},
                                         CellCase{false, false, uint64_t{1} << 60, 0, "1024.0 PiB"},
                                         // Wider than the field: printed whole, never cut.
                                         CellCase{false, false, kMax, 0, "16384.0 PiB"},
                                         CellCase{true, false, 1536, 0, "   1.5 KiB         0 B"},
                                         CellCase{true, false, kMax, 1024,
                                                  "16384.0 PiB     1.0 KiB"},
                                         CellCase{true, true, 5, kMax, "       5 B  18446.7 PB"}));

}  // namespace
}  // namespace bramwex::core
