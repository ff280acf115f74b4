// The browse state of one scanned root: the folder the user is in, the rows
// shown, picks and overlays, the tree on screen with what is derived from it,
// and the live thread that scans the root and then follows its changes.
//
// Threads: a Browser belongs to the app thread. Its live thread reaches it
// only through the event channel that drain_events empties.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/app_env.hpp"
#include "app/browse/baseline.hpp"
#include "app/browse/browse_row.hpp"
#include "app/browse/scan_state.hpp"
#include "app/browse/unreadable.hpp"
#include "app/click.hpp"
#include "app/opener.hpp"
#include "app/term/events.hpp"
#include "app/term/rect.hpp"
#include "core/base/channel.hpp"
#include "core/base/error.hpp"
#include "core/labels/labels.hpp"
#include "core/live/live.hpp"
#include "core/store/cached_scan.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::app {

// Starts an external program; the error is the start failure's errno.
using Spawn = std::function<std::optional<int>(const Command&)>;

struct FolderIdHash {
    size_t operator()(core::FolderId id) const {
        return std::hash<uint64_t>()(uint64_t{id.generation} << 32 | id.index);
    }
};
template <class T>
using FolderMap = std::unordered_map<core::FolderId, T, FolderIdHash>;

// Changes may have been missed since `time`; the folders listed again since.
struct MissedChanges {
    WallClock::time_point time;
    std::set<std::string> relisted;  // relative paths
    bool root_moved = false;         // sticky
};

// The selected row with its name.
struct SelectedEntry {
    BrowseRow row;
    std::string name;
};

class Browser {
  public:
    // Starts from the saved scan when one is given, unless reclaimable sizes
    // are asked for and the saved scan has none.
    Browser(std::string root, std::string title, AppEnv settings,
            std::optional<core::LoadedTree> saved, std::optional<uint64_t> expected_total,
            bool reclaimable);
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Starts (or restarts) the live thread that scans the root and follows it.
    void start_scan();
    // Applies everything the live thread sent; true while it is busy.
    bool drain_events(WallClock::time_point now);
    void set_tree(std::shared_ptr<const core::Tree> new_tree, ScanState new_state);
    // Re-resolves the path, rebuilds the rows, restores the selection and
    // tells the live thread what is shown.
    void refresh();
    // Makes sure row_cache holds the rows of the folder.
    void load_rows(core::FolderId id);

    void save_scan(const core::Tree& saved);
    // Stops the live thread and saves the tree it leaves, or else the
    // followed changes that were not saved yet.
    std::optional<core::Error> stop_and_save();
    void toggle_pick(const std::string& relative);

    // A file row's name from the folder's listed files, a folder row's from the tree.
    std::string_view row_name(core::FolderId folder, const BrowseRow& row) const;
    std::optional<SelectedEntry> selected_entry() const;
    core::FolderId current_folder() const { return stack.back(); }

    void go_up();
    void go_up_levels(size_t n);
    void go_into();
    void select_row(size_t index);

    // The selected row's absolute path, or relative to the root for a pick.
    std::optional<std::string> open_target() const;
    std::optional<std::string> pick_target() const;
    // Opens or reveals path with the opener; shows the path instead when
    // there is nothing to start, the failure when it cannot start.
    void open_path(const std::optional<std::string>& path, bool reveal, const Spawn& spawn);
    void rescan_all();
    void rescan_selected();
    // The largest files not found gone, in list order.
    size_t largest_count() const;
    bool largest_gone(const std::string& path) const {
        if (!largest_shown) {
            return false;
        }
        const auto found = largest_shown->find(path);
        return found != largest_shown->end() && !found->second;
    }
    std::optional<std::string> selected_largest_file() const;

    // True when the app is to quit, or, for Esc, to leave the browser.
    bool handle_key(const term::KeyEvent& key, const Spawn& spawn);
    void handle_mouse(const term::MouseEvent& mouse, WallClock::time_point now);

    bool at_root() const { return path.empty(); }
    bool editing_filter() const { return filter_editing; }
    void set_si(bool si) { settings.si = si; }

    AppEnv settings;
    std::string root;   // as the user gave it
    std::string title;  // "~", "~/..." or the root
    core::LabelContext label_context;
    bool reclaimable = false;
    std::optional<uint64_t> expected_total;  // the volume's used bytes, never 0
    std::optional<core::ChannelReceiver<core::LiveItem>> events;

    std::vector<std::string> path;      // names walked into below the root
    std::vector<core::FolderId> stack;  // path resolved, the root first
    std::vector<BrowseRow> rows;        // of the current folder, filtered
    size_t selected = 0;
    std::optional<std::string> select_name;
    std::optional<size_t> parent_scroll;  // none: follow the selection
    size_t current_scroll = 0;
    size_t preview_scroll = 0;
    term::Rect geometry;  // the middle area of the last frame
    ClickRecord click;

    std::string filter;
    bool filter_editing = false;
    std::vector<std::string> picks;  // relative paths, in picking order

    bool unreadable_shown = false;
    size_t unreadable_index = 0;
    bool picks_shown = false;
    size_t picks_selected = 0;
    size_t picks_scroll = 0;
    bool info_shown = false;
    std::optional<std::map<std::string, bool>> largest_shown;  // path -> exists
    size_t largest_selected = 0;
    size_t largest_scroll = 0;
    bool sort_by_change = false;

    std::shared_ptr<const core::Tree> tree;
    std::vector<UnreadableEntry> unreadable;  // sorted by path
    std::vector<core::FilePath> largest;
    ScanState state;
    bool tree_reclaimable = false;

    std::optional<std::pair<uint64_t, uint64_t>> progress;  // bytes, folders
    bool scan_running = false;
    // What was shown when the running full scan started: a scan that fails
    // puts it back, so a failure never leaves a half-made tree on screen.
    std::optional<std::pair<std::shared_ptr<const core::Tree>, ScanState>> shown_before_scan;
    std::optional<std::string> rescanning;
    std::optional<std::string> status;

    std::optional<Baseline> baseline;
    // Trees are immutable and shared, so keeping the pointer is the copy.
    std::shared_ptr<const core::Tree> baseline_tree;
    WallClock::time_point baseline_time;
    std::map<std::string, std::map<std::string, uint64_t>> file_baseline;

    std::optional<WallClock::time_point> ready_time;
    // A changed tree on screen that no save has written yet; saved at exit.
    bool changes_unsaved = false;
    std::optional<MissedChanges> missed;
    std::optional<WallClock::time_point> busy_since;

    FolderMap<std::vector<ListedFile>> file_cache;
    FolderMap<std::vector<BrowseRow>> row_cache;

    // Declared last so it closes first: its thread may still be sending.
    std::optional<core::LiveHandle> live;

  private:
    bool overlay_key(const term::KeyEvent& key, const Spawn& spawn, size_t page, bool& quit);
    bool normal_key(const term::KeyEvent& key, const Spawn& spawn, size_t page);
    bool overlay_mouse(const term::MouseEvent& mouse);
    void column_mouse(const term::MouseEvent& mouse, WallClock::time_point now);
    void apply(core::LiveItem item, WallClock::time_point now);
    void reset_scrolls();
};

// root, a '/' unless root ends in one, then relative.
std::string join_root_path(std::string_view root, std::string_view relative);

}  // namespace bramwex::app
