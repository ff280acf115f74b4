#include "app/browse/list_views.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "app/browse/cells.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::app {

namespace {

std::string reason(const Browser& b, core::FolderId id) {
    const auto error = b.tree->error_text(id);
    if (!error) {
        return {};
    }
    if (*error == "EACCES") {
        return "permission denied (try sudo)";
    }
    if (*error == "EPERM") {
        return "needs Full Disk Access for " + b.settings.app_name;
    }
    return *error;
}

// Only a file known to be missing is left out: any other failure keeps it.
bool still_there(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

}  // namespace

void draw_unreadable_view(const Browser& b, term::Buffer& frame, const term::Rect& area,
                          const StyleTable& styles) {
    const size_t n = b.unreadable.size();
    const std::string heading =
        n == 0 ? std::string("every directory could be read")
        : n == 1
            ? std::string("1 directory could not be read, so its contents are not counted:")
            : fmt::format("{} directories could not be read, so their contents are not counted:",
                          format_count(n));
    frame.set_stringn(area.x, area.y, heading, area.width, {});
    const size_t room = area.height - 1u;
    const size_t index = std::min(b.unreadable_index, n > room ? n - room : 0);
    for (size_t i = 0; i < room && index + i < n; ++i) {
        const UnreadableEntry& entry = b.unreadable[index + i];
        const term::Line line({term::Span(core::to_utf8_lossy(entry.path) + "  "),
                               term::Span(reason(b, entry.id), styles[Look::Denied])});
        frame.set_line(area.x, static_cast<uint16_t>(area.y + 1 + i), line, area.width);
    }
}

void draw_largest_view(Browser& b, term::Buffer& frame, const term::Rect& area,
                       const StyleTable& styles) {
    if (b.largest.empty() && (!b.tree || b.state.is_snapshot())) {
        frame.set_stringn(area.x, area.y, "scanning...", area.width, {});
        return;
    }
    auto& known = *b.largest_shown;
    const size_t h = area.height;
    // Far enough for the page from the stored scroll and for the selection,
    // which End may have sent past it.
    const size_t needed = std::max(b.largest_scroll + h, b.largest_selected + 1);
    std::vector<const core::FilePath*> taken;
    for (const core::FilePath& file : b.largest) {
        if (taken.size() >= needed) {
            break;
        }
        auto [it, fresh] = known.try_emplace(file.path, true);
        if (fresh) {
            it->second = still_there(file.path);
        }
        if (it->second) {
            taken.push_back(&file);
        }
    }
    const size_t c = taken.size();
    b.largest_selected = std::min(b.largest_selected, c == 0 ? 0 : c - 1);
    const size_t keep = b.largest_selected + 1 > h ? b.largest_selected + 1 - h : 0;
    b.largest_scroll = std::max(std::min(b.largest_scroll, b.largest_selected), keep);

    std::string prefix = b.tree->absolute_path(0);
    if (prefix.empty() || prefix.back() != '/') {
        prefix += '/';
    }
    const bool si = b.settings.si;
    for (size_t i = 0; i < h && b.largest_scroll + i < c; ++i) {
        const size_t k = b.largest_scroll + i;
        std::string_view path = taken[k]->path;
        if (path.starts_with(prefix)) {
            path.remove_prefix(prefix.size());
        }
        const auto y = static_cast<uint16_t>(area.y + i);
        const term::Line line(
            {size_cell(si, styles, taken[k]->size), term::Span("  " + core::to_utf8_lossy(path))});
        frame.set_line(area.x, y, line, area.width);
        if (k == b.largest_selected) {
            frame.set_style({area.x, y, area.width, 1}, styles[Look::Selected]);
        }
    }
}

}  // namespace bramwex::app
