#include "app/browse/title_line.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "app/browse/browser.hpp"
#include "app/browse/cells.hpp"
#include "app/browse/row_cells.hpp"
#include "core/base/utf8.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

namespace {

struct Segments {
    std::vector<term::Span> list;
    void add(std::string text, term::Style style = {}) {
        list.emplace_back(std::move(text), style);
    }
};

// The size segments, none without a tree or a scan; returns the bytes they
// speak of.
uint64_t add_size(const Browser& b, const StyleTable& styles, Segments& out,
                  WallClock::time_point now) {
    const bool si = b.settings.si;
    const auto size = [&](uint64_t bytes) { return core::format_size(si, bytes); };
    // With no scan running nothing is "scanning", whatever stopped it: a
    // snapshot left by a scan that failed shows what was found.
    if (b.tree && !b.scan_running) {
        const uint64_t total = b.tree->total_size({0, 0});
        if (b.expected_total && b.state.is_complete() && *b.expected_total < total) {
            out.add(size(total), styles[Look::FolderName]);
            out.add(fmt::format("disk reports {} in use", size(*b.expected_total)));
        } else if (b.expected_total && b.state.is_complete()) {
            out.add(fmt::format("{} of {}", size(total), size(*b.expected_total)),
                    styles[Look::FolderName]);
        } else {
            out.add(size(total), styles[Look::FolderName]);
        }
        return total;
    }
    if (!b.tree && !b.scan_running) {
        return 0;  // the first scan failed: nothing to size until S starts another
    }
    uint64_t bytes = 0;
    uint64_t folders = 0;
    if (b.progress) {
        std::tie(bytes, folders) = *b.progress;
    } else if (b.tree && b.state.is_snapshot()) {
        bytes = b.tree->total_size({0, 0});
        folders = b.tree->folders.size();
    }
    std::optional<uint64_t> expected = b.expected_total;
    if (!expected && b.tree && !b.state.is_snapshot()) {
        expected = b.tree->total_size({0, 0});
    }
    if (expected && *expected != 0) {
        if (*expected < bytes) {
            out.add("scanning " + size(bytes));
            out.add(format_count(folders) + " folders");
        } else {
            const uint64_t percent = std::min<uint64_t>(
                static_cast<uint64_t>(static_cast<unsigned __int128>(bytes) * 100 / *expected), 99);
            out.add(fmt::format("scanning {} of ~{} ({}%)", size(bytes), size(*expected), percent));
        }
    } else {
        out.add("scanning " + size(bytes));
        out.add(format_count(folders) + " folders");
        out.add(format_age(b.busy_since ? age_seconds(now, *b.busy_since) : 0));
    }
    return bytes;
}

}  // namespace

term::Line title_line(const Browser& b, const StyleTable& styles, size_t width,
                      WallClock::time_point now) {
    Segments out;
    const uint64_t total = add_size(b, styles, out, now);
    if (b.tree && b.state.is_saved()) {
        out.add(fmt::format("showing the scan saved {} ago{}",
                            format_age(age_seconds(now, b.state.saved_time())),
                            b.tree->stopped ? ", incomplete" : ""));
    }
    if (b.missed) {
        const std::string age = format_age(age_seconds(now, b.missed->time));
        out.add(b.missed->root_moved ? fmt::format("the scanned folder moved {} ago", age)
                                     : fmt::format("changes missed {} ago (S rescans)", age),
                styles[Look::Warning]);
    }
    if (b.baseline && b.state.is_complete()) {
        const uint64_t before = b.baseline->at(0);
        const auto change = static_cast<int64_t>(total - before);
        if (change != 0) {
            out.add(fmt::format("{} since opened {} ago", signed_size(b.settings.si, change),
                                format_age(age_seconds(now, b.baseline_time))));
        }
    }
    if (!b.unreadable.empty()) {
        out.add(fmt::format("{} {} unreadable (d)", format_count(b.unreadable.size()),
                            b.unreadable.size() == 1 ? "folder" : "folders"));
    }
    if (b.state.is_complete() && b.live && !b.live->control().ended.load()) {
        out.add("scanned " + format_age(b.ready_time ? age_seconds(now, *b.ready_time) : 0) +
                " ago");
    }
    if (b.sort_by_change) {
        out.add("sorted by change");
    }
    if (b.rescanning) {
        out.add(fmt::format("rescanning {}/...", core::to_utf8_lossy(*b.rescanning)));
    }

    const size_t title_width = term::display_width(b.title) + 2;
    const size_t room = width > title_width ? width - title_width : 0;
    auto needed = [&] {
        size_t sum = 3 * (out.list.size() - 1);
        for (const auto& span : out.list) {
            sum += span.width();
        }
        return sum;
    };
    while (out.list.size() >= 2 && needed() > room) {
        out.list.pop_back();
    }
    term::Line line({term::Span(b.title)});
    if (!out.list.empty()) {
        line.spans.emplace_back("  ");
        std::vector<std::vector<term::Span>> groups;
        for (auto& span : out.list) {
            groups.push_back({std::move(span)});
        }
        for (auto& span : concat_spans(groups, styles).spans) {
            line.spans.push_back(std::move(span));
        }
    }
    return line;
}

}  // namespace bramwex::app
