// Browser::handle_key: the first open overlay takes the key, else the normal
// mode of the key table (and the filter while it is typed).
#include <string>

#include "app/browse/browse_keys.hpp"
#include "app/browse/browser.hpp"
#include "app/cursor.hpp"

namespace bramwex::app {

namespace {

using term::Key;

// The last UTF-8 character off the end.
void pop_character(std::string& text) {
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text.back());
        text.pop_back();
        if ((byte & 0xC0) != 0x80) {
            return;
        }
    }
}

void append_character(std::string& text, char32_t ch) {
    if (ch < 0x80) {
        text += static_cast<char>(ch);
    } else if (ch < 0x800) {
        text += static_cast<char>(0xC0 | (ch >> 6));
        text += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        text += static_cast<char>(0xE0 | (ch >> 12));
        text += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (ch >> 18));
        text += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

// Keys typed into the filter; false for keys the normal mode answers. A
// Ctrl-letter (Ctrl-C was taken before) is neither text nor a command here.
bool filter_key(std::string& filter, bool& editing, const term::KeyEvent& key) {
    if (key.code.key == Key::Char) {
        if (!key.modifiers.contains(term::CONTROL)) {
            append_character(filter, key.code.ch);
        }
    } else if (key.code == Key::Backspace) {
        pop_character(filter);
    } else if (key.code == Key::Enter) {
        editing = false;
    } else if (key.code == Key::Esc) {
        filter.clear();
        editing = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool Browser::handle_key(const term::KeyEvent& key, const Spawn& spawn) {
    status.reset();
    if (key.code == term::KeyCode(U'c') && key.modifiers.contains(term::CONTROL)) {
        return true;
    }
    const size_t page = geometry.height;
    bool quit = false;
    if (overlay_key(key, spawn, page, quit)) {
        return quit;
    }
    if (normal_key(key, spawn, page)) {
        return true;
    }
    refresh();
    return false;
}

bool Browser::overlay_key(const term::KeyEvent& key, const Spawn& spawn, size_t page, bool& quit) {
    const size_t list_page = page == 0 ? 0 : page - 1;
    std::optional<OverlayAction> action;
    if (unreadable_shown) {
        const size_t count = tree ? unreadable.size() : 0;
        if (const auto to = move_cursor(key, unreadable_index, count, list_page)) {
            unreadable_index = *to;
        } else if ((action = overlay_action(unreadable_bindings(), key))) {
            unreadable_shown = *action != OverlayAction::Close;
        }
    } else if (picks_shown) {
        if (const auto to = move_cursor(key, picks_selected, picks.size(), list_page)) {
            picks_selected = *to;
        } else if ((action = overlay_action(picks_bindings(), key))) {
            const bool has_pick = picks_selected < picks.size();
            if (*action == OverlayAction::Close) {
                picks_shown = false;
            } else if (*action == OverlayAction::Unpick && has_pick) {
                toggle_pick(std::string(picks[picks_selected]));
            } else if (*action == OverlayAction::Open || *action == OverlayAction::Reveal) {
                open_path(has_pick ? std::optional(join_root_path(root, picks[picks_selected]))
                                   : std::nullopt,
                          *action == OverlayAction::Reveal, spawn);
            }
        }
    } else if (info_shown) {
        if ((action = overlay_action(info_bindings(), key))) {
            info_shown = *action != OverlayAction::Close;
        }
    } else if (largest_shown) {
        if (const auto to = move_cursor(key, largest_selected, largest_count(), page)) {
            largest_selected = *to;
        } else if ((action = overlay_action(largest_bindings(), key))) {
            if (*action == OverlayAction::Close) {
                largest_shown.reset();
            } else if (*action != OverlayAction::Quit) {
                open_path(tree ? selected_largest_file() : std::nullopt,
                          *action == OverlayAction::Reveal, spawn);
            }
        }
    } else {
        return false;
    }
    quit = action == OverlayAction::Quit;
    return true;
}

// True to quit or leave; the caller refreshes otherwise.
bool Browser::normal_key(const term::KeyEvent& key, const Spawn& spawn, size_t page) {
    if (filter_editing && filter_key(filter, filter_editing, key)) {
        return false;
    }
    const auto action = normal_action(key);
    const bool busy = live && live->control().busy.load() != 0;
    switch (action.value_or(BrowseAction::None)) {
        case BrowseAction::None:
        case BrowseAction::App:
            break;
        case BrowseAction::Move:
            if (const auto to = move_cursor(key, selected, rows.size(), page)) {
                select_row(*to);
            }
            break;
        case BrowseAction::Up:
            go_up();
            break;
        case BrowseAction::Into:
            go_into();
            break;
        case BrowseAction::Escape:
            if (filter.empty() && !filter_editing) {
                return true;
            }
            filter.clear();
            filter_editing = false;
            break;
        case BrowseAction::Pick:
            if (const auto target = pick_target()) {
                toggle_pick(*target);
            }
            break;
        case BrowseAction::Filter:
            filter_editing = true;
            break;
        case BrowseAction::RescanAll:
            if (!busy) {
                rescan_all();
            }
            break;
        case BrowseAction::RescanSelected:
            if (!busy) {
                rescan_selected();
            }
            break;
        case BrowseAction::SortByChange:
            sort_by_change = !sort_by_change;
            row_cache.clear();
            break;
        case BrowseAction::Unreadable:
            unreadable_shown = true;
            unreadable_index = 0;
            break;
        case BrowseAction::Info:
            info_shown = !rows.empty();
            break;
        case BrowseAction::Open:
        case BrowseAction::Reveal:
            open_path(open_target(), *action == BrowseAction::Reveal, spawn);
            break;
        case BrowseAction::Picks:
            picks_shown = true;
            picks_selected = 0;
            picks_scroll = 0;
            break;
        case BrowseAction::Largest:
            largest_shown.emplace();
            largest_selected = 0;
            largest_scroll = 0;
            break;
        case BrowseAction::Quit:
            return true;
    }
    return false;
}

}  // namespace bramwex::app
