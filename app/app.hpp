// The full-screen app: which screen is shown (the volume list, the Full Disk
// Access notice or a browser), the browser kept aside when the user went back
// to the volume list, and what keys and clicks do on each screen.
//
// Threads: an App belongs to the thread running the main loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/app_env.hpp"
#include "app/browse/browser.hpp"
#include "app/click.hpp"
#include "app/term/events.hpp"
#include "app/term/rect.hpp"
#include "core/sys/full_disk_access.hpp"
#include "core/sys/mounts.hpp"

namespace bramwex::app {

// What the app opens: a path as the user gave it, and the used bytes of its
// volume when it is the mount point of a listed volume.
struct ScanTarget {
    std::optional<uint64_t> volume_used;
    std::string path;
};

// Asked once per run, on the first open.
using AccessCheck = std::function<core::sys::FullDiskAccess(const ScanTarget&)>;

struct NoticeScreen {
    ScanTarget target;
    std::optional<std::string> error;  // shown under the notice
};
struct VolumesScreen {};
struct BrowsingScreen {
    std::unique_ptr<Browser> browser;
};
using Screen = std::variant<NoticeScreen, VolumesScreen, BrowsingScreen>;

class App {
  public:
    // Filters and sorts the volumes; with a path, opens it at once (before
    // the terminal is touched).
    App(std::optional<std::string> path, std::vector<core::sys::Mount> volumes, AppEnv env,
        AccessCheck access_check, bool reclaimable);

    void open(const ScanTarget& target);
    std::unique_ptr<Browser> open_browser(const ScanTarget& target);
    void scan_selected_volume();

    // True when the app is to quit.
    bool on_key(const term::KeyEvent& key, const Spawn& spawn);
    void on_mouse(const term::MouseEvent& mouse, WallClock::time_point now);

    // Lets the browsers apply what their live threads sent.
    void drain_events(WallClock::time_point now);

    // Stops and saves the shown browser, then the stashed one; the first error.
    std::optional<core::Error> save_scans();

    Browser* shown_browser();
    // Rows of the volume list visible at once.
    size_t volume_page() const { return frame_area.height < 2 ? 0 : frame_area.height - 2u; }
    // The first volume row drawn, so that the selected one is visible.
    size_t first_volume_row() const;

    Screen screen = VolumesScreen{};
    AppEnv env;
    std::vector<core::sys::Mount> volumes;
    term::Rect frame_area;
    ClickRecord volume_click;
    size_t selected_volume = 0;
    AccessCheck access_check;  // emptied on first use
    std::unique_ptr<Browser> stashed;
    bool has_volume_list = false;
    bool reclaimable = false;
    bool help_shown = false;

  private:
    bool on_browser_key(const term::KeyEvent& key, const Spawn& spawn);
    bool on_notice_key(NoticeScreen& notice, const term::KeyEvent& key, const Spawn& spawn);
    void back_to_volumes();
};

}  // namespace bramwex::app
