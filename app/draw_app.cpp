#include "app/draw_app.hpp"

#include <fmt/format.h>

#include "app/browse/browse_keys.hpp"
#include "app/browse/cells.hpp"
#include "app/browse/draw_browser.hpp"
#include "core/base/utf8.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

namespace {

using term::Buffer;
using term::Rect;

uint16_t last_row(const Rect& area) {
    return static_cast<uint16_t>(area.y + area.height - 1);
}

void draw_help(Buffer& frame, const Rect& area, const StyleTable& styles) {
    frame.set_string(area.x, area.y, "keys", styles[Look::FolderName]);
    if (area.height < 2) {
        return;
    }
    const auto rows = key_rows();
    const size_t room = area.height - 2u;
    for (size_t i = 0; i < rows.size() && i < room; ++i) {
        const auto y = static_cast<uint16_t>(area.y + 1 + i);
        frame.set_line(
            area.x, y,
            term::Line({term::Span(fmt::format("{:<18}", rows[i].keys), styles[Look::HintKey]),
                        term::Span(std::string(rows[i].text))}),
            area.width);
    }
    frame.set_line(area.x, last_row(area), hint_line(styles, "? or esc close"), area.width);
}

void draw_volumes(const App& app, Buffer& frame, const Rect& area, const StyleTable& styles) {
    frame.set_string(area.x, area.y, "volumes", styles[Look::FolderName]);
    const size_t page = app.volume_page();
    const bool si = app.env.si;
    for (size_t i = 0; i < page; ++i) {
        const size_t index = app.first_volume_row() + i;
        if (index >= app.volumes.size()) {
            break;
        }
        const auto& volume = app.volumes[index];
        const auto y = static_cast<uint16_t>(area.y + 1 + i);
        const term::Style& magnitude = styles.for_size(si, volume.used);
        const term::Line row({
            size_cell(si, styles, volume.used),
            term::Span(fmt::format(" used of {:>10}  {:>10} free  ",
                                   core::format_size(si, volume.total),
                                   core::format_size(si, volume.free))),
            term::Span(percent_cell(volume.used, volume.total), magnitude),
            term::Span("  " + core::to_utf8_lossy(volume.point)),
        });
        frame.set_line(area.x, y, row, area.width);
        if (index == app.selected_volume) {
            frame.set_style(Rect{area.x, y, area.width, 1}, styles[Look::Selected]);
        }
    }
    if (area.height >= 2) {
        frame.set_line(area.x, last_row(area),
                       hint_line(styles, "arrows/jk move  enter scan  ? help  q quit"), area.width);
    }
}

// Words of text on lines of at most width columns, from row y on; the row
// after the last one written.
uint16_t draw_wrapped(Buffer& frame, const Rect& area, uint16_t y, std::string_view text) {
    std::string line;
    const auto flush = [&] {
        if (y < area.y + area.height) {
            frame.set_string(area.x, y, line, {});
        }
        ++y;
        line.clear();
    };
    while (!text.empty()) {
        const size_t end = std::min(text.find(' '), text.size());
        const std::string_view word = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() &&
            term::display_width(line) + 1 + term::display_width(word) > area.width) {
            flush();
        }
        if (!line.empty()) {
            line += ' ';
        }
        line += word;
    }
    if (!line.empty()) {
        flush();
    }
    return y;
}

void draw_notice(const App& app, const NoticeScreen& notice, Buffer& frame, const Rect& area) {
    const std::string& name = app.env.app_name;
    frame.set_string(area.x, area.y, "Full Disk Access is off for " + name, term::Style{});
    uint16_t y = draw_wrapped(
        frame, area, static_cast<uint16_t>(area.y + 2),
        fmt::format("macOS keeps some folders from every app without Full Disk Access: Mail, "
                    "Messages, Safari, Time Machine and other apps' data. The scan lists them as "
                    "denied, and their sizes are missing. To grant it, turn on {} in System "
                    "Settings > Privacy & Security > Full Disk Access, then quit and reopen {}. "
                    "bramwex stays read-only either way.",
                    name, name));
    ++y;
    for (const std::string_view key_line :
         {"o  open the Full Disk Access settings", "c  continue without", "q  quit"}) {
        if (y < area.y + area.height) {
            frame.set_string(area.x, y, key_line, {});
        }
        ++y;
    }
    if (notice.error && y + 1 < area.y + area.height) {
        frame.set_string(area.x, static_cast<uint16_t>(y + 1), *notice.error, {});
    }
}

}  // namespace

void draw_app(App& app, Buffer& frame, WallClock::time_point now) {
    const Rect area = frame.area();
    app.frame_area = area;
    if (area.empty()) {
        return;
    }
    const StyleTable& styles = StyleTable::choose(app.env.colours);
    if (app.help_shown) {
        draw_help(frame, area, styles);
        return;
    }
    if (std::holds_alternative<VolumesScreen>(app.screen)) {
        draw_volumes(app, frame, area, styles);
    } else if (const auto* notice = std::get_if<NoticeScreen>(&app.screen)) {
        draw_notice(app, *notice, frame, area);
    } else if (Browser* browser = app.shown_browser()) {
        draw_browser(*browser, frame, area, styles, now);
    }
}

}  // namespace bramwex::app
