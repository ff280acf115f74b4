#include "app/browse/browser.hpp"

#include <algorithm>

#include "app/browse/live_events.hpp"
#include "core/store/picks.hpp"

namespace bramwex::app {

Browser::Browser(std::string root_path, std::string shown_title, AppEnv app_settings,
                 std::optional<core::LoadedTree> saved, std::optional<uint64_t> expected,
                 bool reclaimable_sizes)
    : settings(std::move(app_settings)),
      root(std::move(root_path)),
      title(std::move(shown_title)),
      label_context(core::LabelContext::make(
          root, settings.home ? std::optional<std::string_view>(*settings.home) : std::nullopt)),
      reclaimable(reclaimable_sizes) {
    if (expected && *expected != 0) {
        expected_total = expected;
    }
    if (settings.cache_dir) {
        if (auto loaded = core::load_picks(*settings.cache_dir, root)) {
            picks = std::move(*loaded);
        } else {
            status = "cannot read picks: " + loaded.error().to_string();
        }
    }
    if (saved && !(reclaimable && !saved->has_reclaimable)) {
        const uint64_t seconds =
            static_cast<uint64_t>(std::max<int64_t>(saved->modified.seconds, 0));
        set_tree(std::make_shared<const core::Tree>(std::move(saved->tree)),
                 ScanState::saved_at(seconds, saved->modified.nanoseconds));
    }
}

void Browser::start_scan() {
    if (baseline && tree && state.is_complete() && !baseline_tree) {
        baseline_tree = tree;
    }
    shown_before_scan.reset();
    if (tree && !state.is_snapshot()) {
        shown_before_scan.emplace(tree, state);
    }
    missed.reset();
    scan_running = true;
    rescanning.reset();
    progress.reset();
    busy_since.reset();
    if (live) {
        live->close();
        live.reset();
    }
    auto [sender, receiver] = core::make_channel<core::LiveItem>();
    events = std::move(receiver);

    core::LiveSettings live_settings;
    live_settings.root = root;
    live_settings.ignored = settings.cache_dir;
    live_settings.interval = settings.interval;
    live_settings.options.reclaimable = reclaimable;
    live_settings.watch = settings.watch;
    live_settings.shown_only = true;
    live.emplace(core::start_live(std::move(live_settings),
                                  std::make_unique<BrowserSink>(sender, settings.waker)));
}

void Browser::set_tree(std::shared_ptr<const core::Tree> new_tree, ScanState new_state) {
    unreadable = sorted_unreadable(*new_tree);
    largest = new_tree->largest_file_paths(1000);
    // Listings read while a scan ran stay good for the tree that ends it.
    if (!(tree && state.is_snapshot())) {
        file_cache.clear();
    }
    row_cache.clear();
    tree = std::move(new_tree);
    state = new_state;
    tree_reclaimable = reclaimable;
    refresh();
}

void Browser::refresh() {
    if (!tree) {
        return;
    }
    stack.assign(1, core::FolderId{0, tree->generation});
    for (size_t depth = 0; depth < path.size(); ++depth) {
        const core::ChildIds children = tree->child_ids(stack.back());
        std::optional<core::FolderId> found;
        for (size_t k = 0; k < children.size() && !found; ++k) {
            if (tree->name(children.id(k)) == path[depth]) {
                found = children.id(k);
            }
        }
        if (!found) {
            path.resize(depth);
            select_name.reset();
            filter.clear();
            filter_editing = false;
            break;
        }
        stack.push_back(*found);
    }

    const core::FolderId current = stack.back();
    load_rows(current);
    if (stack.size() >= 2) {
        load_rows(stack[stack.size() - 2]);
    }
    rows.clear();
    for (const BrowseRow& row : row_cache.at(current)) {
        if (filter.empty() || row_name(current, row).find(filter) != std::string_view::npos) {
            rows.push_back(row);
        }
    }
    selected = 0;
    if (select_name) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (row_name(current, rows[i]) == *select_name) {
                selected = i;
                break;
            }
        }
    }

    std::vector<core::FolderId> shown(stack.end() - std::min<ptrdiff_t>(2, ssize(stack)),
                                      stack.end());
    if (selected < rows.size() && rows[selected].is_folder()) {
        shown.push_back(rows[selected].folder());
        load_rows(rows[selected].folder());
    }
    if (live) {
        live->follow(shown);
        if (missed) {
            std::vector<core::FolderId> relist;
            for (const core::FolderId id : shown) {
                if (missed->relisted.insert(tree->relative_path(id.index)).second) {
                    relist.push_back(id);
                }
            }
            if (!relist.empty()) {
                live->relist(relist);
            }
        }
    }
}

void Browser::save_scan(const core::Tree& saved) {
    changes_unsaved = false;
    if (!settings.cache_dir) {
        return;
    }
    if (auto result = core::save_cached_scan(*settings.cache_dir, root, saved, reclaimable);
        !result) {
        status = "warning: scan not saved: " + result.error().to_string();
    }
}

std::optional<core::Error> Browser::stop_and_save() {
    std::optional<core::Tree> final_tree;
    if (live) {
        final_tree = live->request_final_tree();
        live.reset();
    }
    if (!settings.cache_dir) {
        return std::nullopt;
    }
    // Once following began no final tree comes back, so the changes it
    // followed would be lost without saving the tree on screen.
    const core::Tree* saved = final_tree ? &*final_tree : changes_unsaved ? tree.get() : nullptr;
    if (saved == nullptr) {
        return std::nullopt;
    }
    if (auto result = core::save_cached_scan(*settings.cache_dir, root, *saved, reclaimable);
        !result) {
        return result.error();
    }
    changes_unsaved = false;
    return std::nullopt;
}

void Browser::toggle_pick(const std::string& relative) {
    if (const auto it = std::find(picks.begin(), picks.end(), relative); it != picks.end()) {
        picks.erase(it);
    } else {
        picks.push_back(relative);
    }
    if (picks_shown) {
        picks_selected = std::min(picks_selected, picks.empty() ? 0 : picks.size() - 1);
    }
    if (settings.cache_dir) {
        if (auto result = core::save_picks(*settings.cache_dir, root, picks); !result) {
            status = "warning: picks not saved: " + result.error().to_string();
        }
    }
}

std::string_view Browser::row_name(core::FolderId folder, const BrowseRow& row) const {
    if (row.is_folder()) {
        return tree->name(row.folder());
    }
    return file_cache.at(folder).at(row.index).name;
}

std::optional<SelectedEntry> Browser::selected_entry() const {
    if (!tree || selected >= rows.size()) {
        return std::nullopt;
    }
    return SelectedEntry{rows[selected], std::string(row_name(current_folder(), rows[selected]))};
}

void Browser::reset_scrolls() {
    filter.clear();
    filter_editing = false;
    parent_scroll.reset();
    current_scroll = 0;
    preview_scroll = 0;
}

void Browser::go_up() {
    go_up_levels(1);
}

void Browser::go_up_levels(size_t n) {
    if (n == 0 || path.empty()) {
        return;
    }
    for (size_t k = 0; k < n && !path.empty(); ++k) {
        select_name = std::move(path.back());
        path.pop_back();
    }
    reset_scrolls();
}

void Browser::go_into() {
    if (!tree || selected >= rows.size() || !rows[selected].is_folder()) {
        return;
    }
    path.emplace_back(tree->name(rows[selected].folder()));
    select_name.reset();
    reset_scrolls();
}

void Browser::select_row(size_t index) {
    if (index < rows.size() && tree) {
        select_name = std::string(row_name(current_folder(), rows[index]));
        preview_scroll = 0;
    }
}

}  // namespace bramwex::app
