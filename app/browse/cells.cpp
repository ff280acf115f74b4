#include "app/browse/cells.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

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

namespace {

constexpr std::string_view kBrowseHints =
    "hjkl move  i info  u units  space pick  p picks  r reveal  s/S rescan  / filter  t top  "
    "o open  ? help  q quit";

}  // namespace

std::string browse_hint_line(size_t width) {
    std::vector<std::string_view> items;
    for (std::string_view rest = kBrowseHints; !rest.empty();) {
        const size_t end = std::min(rest.find("  "), rest.size());
        items.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 2, rest.size()));
    }
    auto joined = [&] {
        std::string text;
        for (const auto item : items) {
            text += text.empty() ? "" : "  ";
            text += item;
        }
        return text;
    };
    std::string text = joined();
    while (term::display_width(text) > width && items.size() >= 4) {
        items.erase(items.end() - 3);
        text = joined();
    }
    return text;
}

std::string format_age(uint64_t seconds) {
    if (seconds < 60) {
        return fmt::format("{} s", seconds);
    }
    if (seconds < 3600) {
        return fmt::format("{} min", seconds / 60);
    }
    if (seconds < 86400) {
        return fmt::format("{} h", seconds / 3600);
    }
    return fmt::format("{} d", seconds / 86400);
}

uint64_t age_seconds(std::chrono::system_clock::time_point now,
                     std::chrono::system_clock::time_point earlier) {
    if (now <= earlier) {
        return 0;
    }
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now - earlier).count());
}

std::string format_count(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

}  // namespace bramwex::app
