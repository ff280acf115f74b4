#include "app/browse/picks_view.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>

#include "app/browse/cells.hpp"
#include "core/base/utf8.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

namespace {

// The folder the pick names in the tree, when every part of it is a folder.
std::optional<core::FolderId> in_tree(const core::Tree& tree, std::string_view pick) {
    core::FolderId at{0, tree.generation};
    while (!pick.empty()) {
        const size_t slash = pick.find('/');
        const std::string_view part = pick.substr(0, slash);
        pick = slash == std::string_view::npos ? std::string_view() : pick.substr(slash + 1);
        const core::ChildIds children = tree.child_ids(at);
        std::optional<core::FolderId> found;
        for (size_t k = 0; k < children.size() && !found; ++k) {
            if (tree.name(children.id(k)) == part) {
                found = children.id(k);
            }
        }
        if (!found) {
            return std::nullopt;
        }
        at = *found;
    }
    return at;
}

}  // namespace

std::vector<std::optional<uint64_t>> pick_sizes(const Browser& b) {
    std::vector<std::optional<uint64_t>> sizes;
    sizes.reserve(b.picks.size());
    for (const std::string& pick : b.picks) {
        if (const auto folder = b.tree ? in_tree(*b.tree, pick) : std::nullopt) {
            sizes.emplace_back(b.tree->total_size(*folder));
            continue;
        }
        struct stat st;
        if (::lstat(join_root_path(b.root, pick).c_str(), &st) == 0) {
            sizes.emplace_back(static_cast<uint64_t>(st.st_blocks) * 512);
        } else {
            sizes.emplace_back();
        }
    }
    return sizes;
}

void draw_picks_view(Browser& b, term::Buffer& frame, const term::Rect& area,
                     const StyleTable& styles) {
    const auto sizes = pick_sizes(b);
    uint64_t sum = 0;
    for (const auto& size : sizes) {
        sum += size.value_or(0);
    }
    const bool si = b.settings.si;
    const std::string heading =
        b.picks.empty()
            ? std::string("nothing picked: space picks the item at the cursor")
            : fmt::format("{} picked, {} in all:", b.picks.size(), core::format_size(si, sum));
    frame.set_stringn(area.x, area.y, heading, area.width, {});
    const size_t room = area.height - 1u;
    const size_t keep = b.picks_selected + 1 > room ? b.picks_selected + 1 - room : 0;
    b.picks_scroll = std::max(std::min(b.picks_scroll, b.picks_selected), keep);
    for (size_t i = 0; i < room && b.picks_scroll + i < b.picks.size(); ++i) {
        const size_t k = b.picks_scroll + i;
        const term::Span size =
            sizes[k] ? size_cell(si, styles, *sizes[k])
                     : term::Span(fmt::format("{:>10}", "gone"), styles[Look::Quiet]);
        const auto y = static_cast<uint16_t>(area.y + 1 + i);
        frame.set_line(area.x, y,
                       term::Line({size, term::Span("  " + core::to_utf8_lossy(b.picks[k]))}),
                       area.width);
        if (k == b.picks_selected) {
            frame.set_style({area.x, y, area.width, 1}, styles[Look::Selected]);
        }
    }
}

}  // namespace bramwex::app
