#include "app/browse/cells.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "core/output/format.hpp"

namespace bramwex::app {

term::Span size_cell(bool si, const StyleTable& styles, uint64_t size) {
    return {fmt::format("{:>10}", core::format_size(si, size)), styles.for_size(si, size)};
}

std::string percent_cell(uint64_t value, uint64_t total) {
    if (value == 0 || total == 0) {
        return "     ";
    }
    // 2000 x value overflows 64 bits for sizes past 9 PB.
    const unsigned __int128 twice_total = static_cast<unsigned __int128>(total) * 2;
    const unsigned __int128 rounded =
        (static_cast<unsigned __int128>(value) * 2000 + total) / twice_total;
    const auto permille = static_cast<uint64_t>(std::min<unsigned __int128>(rounded, 1000));
    if (permille == 0) {
        return "<0.1%";
    }
    if (permille == 1000) {
        return " 100%";
    }
    return fmt::format("{:>2}.{}%", permille / 10, permille % 10);
}

term::Line hint_line(const StyleTable& styles, std::string_view text) {
    term::Line line;
    bool first = true;
    while (!text.empty()) {
        const size_t end = std::min(text.find("  "), text.size());
        const std::string_view item = text.substr(0, end);
        text.remove_prefix(std::min(end + 2, text.size()));
        if (!first) {
            line.spans.emplace_back("  ");
        }
        first = false;
        const size_t blank = item.find(' ');
        line.spans.emplace_back(std::string(item.substr(0, blank)), styles[Look::HintKey]);
        if (blank != std::string_view::npos) {
            line.spans.emplace_back(" " + std::string(item.substr(blank + 1)));
        }
    }
    return line;
}

}  // namespace bramwex::app
