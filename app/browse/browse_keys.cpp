// Also Browser::handle_key.
#include "app/browse/browse_keys.hpp"

#include <array>

#include "app/browse/browser.hpp"
#include "app/cursor.hpp"

namespace bramwex::app {

namespace {

using term::Key;

constexpr std::array kNormal = {
    KeyBinding{Key::Up, BrowseAction::Move},      KeyBinding{Key::Down, BrowseAction::Move},
    KeyBinding{Key::Home, BrowseAction::Move},    KeyBinding{Key::End, BrowseAction::Move},
    KeyBinding{Key::PageUp, BrowseAction::Move},  KeyBinding{Key::PageDown, BrowseAction::Move},
    KeyBinding{U'k', BrowseAction::Move},         KeyBinding{U'j', BrowseAction::Move},
    KeyBinding{U'g', BrowseAction::Move},         KeyBinding{U'G', BrowseAction::Move},
    KeyBinding{Key::Left, BrowseAction::Up},      KeyBinding{Key::Backspace, BrowseAction::Up},
    KeyBinding{U'h', BrowseAction::Up},           KeyBinding{Key::Right, BrowseAction::Into},
    KeyBinding{Key::Enter, BrowseAction::Into},   KeyBinding{U'l', BrowseAction::Into},
    KeyBinding{Key::Esc, BrowseAction::Escape},   KeyBinding{U'/', BrowseAction::Filter},
    KeyBinding{U'c', BrowseAction::SortByChange}, KeyBinding{U'q', BrowseAction::Quit},
};

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

}  // namespace

std::span<const KeyBinding> normal_bindings() {
    return kNormal;
}

std::optional<BrowseAction> normal_action(const term::KeyEvent& key) {
    for (const KeyBinding& binding : kNormal) {
        if (binding.code == key.code) {
            return binding.action;
        }
    }
    return std::nullopt;
}

bool Browser::handle_key(const term::KeyEvent& key, const Spawn&) {
    status.reset();
    if (key.code == term::KeyCode(U'c') && key.modifiers.contains(term::CONTROL)) {
        return true;
    }
    if (filter_editing) {
        if (key.code.key == Key::Char && !key.modifiers.contains(term::CONTROL)) {
            append_character(filter, key.code.ch);
            refresh();
            return false;
        }
        if (key.code == Key::Backspace || key.code == Key::Enter || key.code == Key::Esc) {
            if (key.code == Key::Backspace) {
                pop_character(filter);
            } else if (key.code == Key::Enter) {
                filter_editing = false;
            } else {
                filter.clear();
                filter_editing = false;
            }
            refresh();
            return false;
        }
    }
    const auto action = normal_action(key);
    if (!action) {
        refresh();
        return false;
    }
    switch (*action) {
        case BrowseAction::Move:
            if (const auto to = move_cursor(key, selected, rows.size(), geometry.height)) {
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
        case BrowseAction::Filter:
            filter_editing = true;
            break;
        case BrowseAction::SortByChange:
            sort_by_change = !sort_by_change;
            row_cache.clear();
            break;
        case BrowseAction::Quit:
            return true;
    }
    refresh();
    return false;
}

}  // namespace bramwex::app
