#include "core/output/format.hpp"

#include <fmt/format.h>

#include <array>

namespace bramwex::core {

std::string format_size(bool si, uint64_t bytes) {
    static constexpr std::array<std::string_view, 5> kBinary = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    static constexpr std::array<std::string_view, 5> kSi = {"kB", "MB", "GB", "TB", "PB"};
    const uint64_t base = si ? 1000 : 1024;
    if (bytes < base) {
        return fmt::format("{} B", bytes);
    }
    double value = static_cast<double>(bytes) / static_cast<double>(base);
    size_t unit = 0;
    while (value >= static_cast<double>(base) && unit < 4) {
        value /= static_cast<double>(base);
        ++unit;
    }
    return fmt::format("{:.1f} {}", value, si ? kSi[unit] : kBinary[unit]);
}

std::string report_size_cells(bool show_reclaimable, bool si, uint64_t size, uint64_t reclaimable) {
    if (!show_reclaimable) {
        return fmt::format("{:>10}", format_size(si, size));
    }
    return fmt::format("{:>10}  {:>10}", format_size(si, size), format_size(si, reclaimable));
}

std::string_view after_last_colon(std::string_view text) {
    const size_t at = text.rfind(": ");
    return at == std::string_view::npos ? text : text.substr(at + 2);
}

}  // namespace bramwex::core
