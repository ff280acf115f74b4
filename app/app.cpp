#include "app/app.hpp"

#include <climits>
#include <cstdlib>
#include <utility>

#include "app/cursor.hpp"
#include "app/volumes.hpp"
#include "core/base/utf8.hpp"
#include "core/store/cached_scan.hpp"

namespace bramwex::app {

namespace {

bool is_char(const term::KeyEvent& key, char32_t ch) {
    return key.code == term::KeyCode(ch);
}

std::optional<std::string> real_path(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

// The rest of path below base, component-wise; none when path is not at or
// below base. "" when they are the same folder.
std::optional<std::string_view> path_below(std::string_view path, std::string_view base) {
    while (base.size() > 1 && base.back() == '/') {
        base.remove_suffix(1);
    }
    if (!path.starts_with(base)) {
        return std::nullopt;
    }
    std::string_view rest = path.substr(base.size());
    if (!rest.empty() && rest.front() != '/' && base != "/") {
        return std::nullopt;
    }
    while (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
    }
    while (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    return rest;
}

std::string browser_title(const std::string& path, const std::optional<std::string>& home) {
    if (home && !home->empty()) {
        if (const auto rest = path_below(path, *home)) {
            return rest->empty() ? "~" : "~/" + core::to_utf8_lossy(*rest);
        }
    }
    return core::to_utf8_lossy(path);
}

}  // namespace

App::App(std::optional<std::string> path, std::vector<core::sys::Mount> mounts, AppEnv app_env,
         AccessCheck check, bool reclaimable_sizes)
    : env(std::move(app_env)),
      volumes(filter_volumes(std::move(mounts))),
      access_check(std::move(check)),
      has_volume_list(!path),
      reclaimable(reclaimable_sizes) {
    if (!path) {
        return;
    }
    ScanTarget target{std::nullopt, *path};
    if (const auto real = real_path(*path)) {
        for (const auto& volume : volumes) {
            if (path_below(*real, volume.point) == std::string_view()) {
                target.volume_used = volume.used;
                break;
            }
        }
    }
    open(target);
}

void App::open(const ScanTarget& target) {
    if (access_check) {
        const AccessCheck check = std::exchange(access_check, nullptr);
        if (check(target) == core::sys::FullDiskAccess::Off) {
            screen = NoticeScreen{target, std::nullopt};
            return;
        }
    }
    screen = BrowsingScreen{open_browser(target)};
}

std::unique_ptr<Browser> App::open_browser(const ScanTarget& target) {
    std::unique_ptr<Browser> kept = std::move(stashed);
    if (kept && path_below(kept->root, target.path) == std::string_view() &&
        path_below(target.path, kept->root) == std::string_view()) {
        return kept;
    }
    kept.reset();
    std::optional<core::LoadedTree> saved;
    if (env.cache_dir) {
        if (auto loaded = core::load_cached_tree(*env.cache_dir, target.path); loaded && *loaded) {
            saved = std::move(**loaded);
        }
    }
    auto browser = std::make_unique<Browser>(target.path, browser_title(target.path, env.home), env,
                                             std::move(saved), target.volume_used, reclaimable);
    browser->start_scan();
    return browser;
}

void App::scan_selected_volume() {
    if (selected_volume < volumes.size()) {
        const auto& volume = volumes[selected_volume];
        open(ScanTarget{volume.used, volume.point});
    }
}

Browser* App::shown_browser() {
    auto* browsing = std::get_if<BrowsingScreen>(&screen);
    return browsing ? browsing->browser.get() : nullptr;
}

size_t App::first_volume_row() const {
    const size_t page = volume_page();
    return selected_volume + 1 > page ? selected_volume + 1 - page : 0;
}

void App::back_to_volumes() {
    if (auto* browsing = std::get_if<BrowsingScreen>(&screen)) {
        stashed = std::move(browsing->browser);
    }
    screen = VolumesScreen{};
}

bool App::on_key(const term::KeyEvent& key, const Spawn& spawn) {
    if (is_char(key, U'c') && key.modifiers.contains(term::CONTROL)) {
        return true;
    }
    if (help_shown) {
        if (is_char(key, U'?') || key.code == term::Key::Esc) {
            help_shown = false;
        }
        return false;
    }
    Browser* browser = shown_browser();
    const bool editing = browser != nullptr && browser->editing_filter();
    if (is_char(key, U'?') && !editing && !std::holds_alternative<NoticeScreen>(screen)) {
        help_shown = true;
        return false;
    }
    if (is_char(key, U'u') && !editing) {
        env.si = !env.si;
        for (Browser* each : {browser, stashed.get()}) {
            if (each != nullptr) {
                each->set_si(env.si);
            }
        }
        return false;
    }
    if (std::holds_alternative<VolumesScreen>(screen)) {
        if (const auto moved = move_cursor(key, selected_volume, volumes.size(), volume_page())) {
            selected_volume = *moved;
        } else if (key.code == term::Key::Enter || key.code == term::Key::Right ||
                   is_char(key, U'l')) {
            scan_selected_volume();
        } else if (is_char(key, U'q') || key.code == term::Key::Esc) {
            return true;
        }
        return false;
    }
    if (browser != nullptr) {
        return on_browser_key(key, spawn);
    }
    return on_notice_key(std::get<NoticeScreen>(screen), key, spawn);
}

bool App::on_browser_key(const term::KeyEvent& key, const Spawn& spawn) {
    Browser& browser = *shown_browser();
    if (key.code == term::Key::Backspace && has_volume_list && browser.at_root() &&
        !browser.editing_filter() && !browser.unreadable_shown && !browser.largest_shown) {
        back_to_volumes();
        return false;
    }
    if (!browser.handle_key(key, spawn)) {
        return false;
    }
    if (key.code == term::Key::Esc && has_volume_list) {
        back_to_volumes();
        return false;
    }
    return true;
}

bool App::on_notice_key(NoticeScreen& notice, const term::KeyEvent& key, const Spawn& spawn) {
    if (is_char(key, U'c')) {
        const ScanTarget target = notice.target;
        screen = BrowsingScreen{open_browser(target)};
    } else if (is_char(key, U'o')) {
        const Command settings = open_full_disk_access_settings();
        const auto failure = spawn(settings);
        notice.error =
            failure ? std::optional(run_error_text(settings.program, *failure)) : std::nullopt;
    } else if (is_char(key, U'q')) {
        return true;
    } else if (key.code == term::Key::Esc) {
        if (!has_volume_list) {
            return true;
        }
        screen = VolumesScreen{};
    }
    return false;
}

void App::on_mouse(const term::MouseEvent& mouse, WallClock::time_point now) {
    if (help_shown || std::holds_alternative<NoticeScreen>(screen)) {
        return;
    }
    if (Browser* browser = shown_browser()) {
        browser->handle_mouse(mouse, now);
        return;
    }
    const size_t page = volume_page();
    if (mouse.kind == term::MouseKind::WheelDown || mouse.kind == term::MouseKind::WheelUp) {
        const term::KeyEvent key{
            mouse.kind == term::MouseKind::WheelDown ? term::Key::Down : term::Key::Up, {}};
        selected_volume = *move_cursor(key, selected_volume, volumes.size(), 1);
        return;
    }
    if (mouse.kind != term::MouseKind::Press || mouse.button != term::MouseButton::Left ||
        mouse.row < 1 || mouse.row - 1u >= page) {
        return;
    }
    const size_t index = first_volume_row() + (mouse.row - 1u);
    if (index >= volumes.size()) {
        return;
    }
    if (is_double_click(volume_click, now, 0, mouse.row)) {
        scan_selected_volume();
    } else {
        selected_volume = index;
    }
}

void App::drain_events(WallClock::time_point now) {
    if (stashed) {
        stashed->drain_events(now);
    }
    if (Browser* browser = shown_browser()) {
        browser->drain_events(now);
    }
}

std::optional<core::Error> App::save_scans() {
    std::optional<core::Error> first;
    if (Browser* browser = shown_browser()) {
        first = browser->stop_and_save();
    }
    if (stashed) {
        auto second = stashed->stop_and_save();
        if (!first) {
            first = std::move(second);
        }
    }
    return first;
}

}  // namespace bramwex::app
