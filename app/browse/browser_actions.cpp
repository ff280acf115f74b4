// What the browser's keys and clicks share beyond moving: the paths of the
// selected row, opening and revealing them, and the two rescans.
#include "app/browse/browser.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::app {

std::string join_root_path(std::string_view root, std::string_view relative) {
    std::string joined(root);
    if (joined.empty() || joined.back() != '/') {
        joined += '/';
    }
    joined += relative;
    return joined;
}

std::optional<std::string> Browser::open_target() const {
    const auto entry = selected_entry();
    if (!entry) {
        return std::nullopt;
    }
    return join_root_path(tree->absolute_path(current_folder().index), entry->name);
}

std::optional<std::string> Browser::pick_target() const {
    const auto entry = selected_entry();
    if (!entry) {
        return std::nullopt;
    }
    std::string folder = tree->relative_path(current_folder().index);
    return folder.empty() ? entry->name : join_root_path(folder, entry->name);
}

void Browser::open_path(const std::optional<std::string>& path, bool reveal, const Spawn& spawn) {
    if (!path) {
        return;
    }
    const auto command = open_command(settings.opener, *path, reveal);
    if (!command) {
        status = "path: " + core::to_utf8_lossy(*path);
        return;
    }
    if (const auto failure = spawn(*command)) {
        status = run_error_text(command->program, *failure);
    } else {
        status.reset();
    }
}

void Browser::rescan_all() {
    start_scan();
    // What described the dropped tree goes with it; snapshots bring it back.
    // Until the first one the title only says that a scan is under way: a
    // state still called complete would show a change and an age of no tree.
    tree.reset();
    state = ScanState::snapshot();
    unreadable.clear();
    largest.clear();
    file_cache.clear();
    row_cache.clear();
    rows.clear();
}

void Browser::rescan_selected() {
    if (!tree || !state.is_complete()) {
        return;
    }
    core::FolderId target = current_folder();
    if (selected < rows.size() && rows[selected].is_folder()) {
        target = rows[selected].folder();
    }
    if (target.index == 0) {
        rescan_all();
        return;
    }
    rescanning = tree->relative_path(target.index);
    if (live) {
        live->rescan(target);
    }
}

size_t Browser::largest_count() const {
    size_t count = 0;
    for (const core::FilePath& file : largest) {
        count += !largest_gone(file.path);
    }
    return count;
}

std::optional<std::string> Browser::selected_largest_file() const {
    size_t k = 0;
    for (const core::FilePath& file : largest) {
        if (largest_gone(file.path)) {
            continue;
        }
        if (k++ == largest_selected) {
            return file.path;
        }
    }
    return std::nullopt;
}

}  // namespace bramwex::app
