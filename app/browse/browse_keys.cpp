#include "app/browse/browse_keys.hpp"

namespace bramwex::app {

namespace {

using term::Key;
using A = BrowseAction;
using O = OverlayAction;

// clang-format off
constexpr std::array<KeyRow, 22> kRows = {{
    {"Up Down k j", "move",
     {{{Key::Up, A::Move}, {Key::Down, A::Move}, {U'k', A::Move}, {U'j', A::Move}}}},
    {"PageUp PageDown", "move by a screen", {{{Key::PageUp, A::Move}, {Key::PageDown, A::Move}}}},
    {"Home End g G", "go to the first or the last row",
     {{{Key::Home, A::Move}, {Key::End, A::Move}, {U'g', A::Move}, {U'G', A::Move}}}},
    {"Right Enter l", "go into the directory; on the volume list, scan the volume",
     {{{Key::Right, A::Into}, {Key::Enter, A::Into}, {U'l', A::Into}}}},
    {"Left Backspace h", "go to the parent directory",
     {{{Key::Left, A::Up}, {Key::Backspace, A::Up}, {U'h', A::Up}}}},
    {"r", "reveal in Finder or the file manager", {{{U'r', A::Reveal}}}},
    {"o", "open", {{{U'o', A::Open}}}},
    {"space", "pick or unpick the selected item, to delete by hand later", {{{U' ', A::Pick}}}},
    {"p", "list the picks, with their sizes now; space unpicks", {{{U'p', A::Picks}}}},
    {"c", "sort by how much each item changed this session; again for size",
     {{{U'c', A::SortByChange}}}},
    {"s", "rescan the selected directory", {{{U's', A::RescanSelected}}}},
    {"S", "rescan everything", {{{U'S', A::RescanAll}}}},
    {"/", "filter the column by text; Enter keeps the filter, Esc clears it",
     {{{U'/', A::Filter}}}},
    {"d", "list the directories that could not be read, and why", {{{U'd', A::Unreadable}}}},
    {"t", "list the largest files", {{{U't', A::Largest}}}},
    {"i", "show everything about the selected item", {{{U'i', A::Info}}}},
    {"u", "switch sizes between GiB (1024) and GB (1000)", {{{U'u', A::App}}}},
    {"?", "show or hide this help", {{{U'?', A::App}}}},
    {"q Esc", "quit; Esc closes a filter or list first, or goes back to the volume list",
     {{{U'q', A::Quit}, {Key::Esc, A::Escape}}}},
    {"click", "select; in the parent or preview column, go there", {}},
    {"double click", "go into the directory, or scan the volume", {}},
    {"wheel", "scroll the column under the pointer", {}},
}};

constexpr std::array kUnreadable = {OverlayBinding{Key::Esc, O::Close},
                                    OverlayBinding{U'd', O::Close},
                                    OverlayBinding{U'q', O::Quit}};
constexpr std::array kPicks = {
    OverlayBinding{Key::Esc, O::Close}, OverlayBinding{U'p', O::Close},
    OverlayBinding{U'o', O::Open},      OverlayBinding{U'r', O::Reveal},
    OverlayBinding{U' ', O::Unpick},    OverlayBinding{U'q', O::Quit}};
constexpr std::array kInfo = {OverlayBinding{Key::Esc, O::Close}, OverlayBinding{U'i', O::Close},
                              OverlayBinding{U'q', O::Quit}};
constexpr std::array kLargest = {OverlayBinding{Key::Esc, O::Close}, OverlayBinding{U't', O::Close},
                                 OverlayBinding{U'o', O::Open}, OverlayBinding{U'r', O::Reveal},
                                 OverlayBinding{U'q', O::Quit}};
// clang-format on

}  // namespace

std::span<const KeyRow> key_rows() {
    return kRows;
}

std::optional<BrowseAction> normal_action(const term::KeyEvent& key) {
    for (const KeyRow& row : kRows) {
        for (const KeyBinding& binding : row.bindings) {
            if (binding.action != A::None && binding.code == key.code) {
                return binding.action;
            }
        }
    }
    return std::nullopt;
}

std::string key_name(term::KeyCode code) {
    switch (code.key) {
        case Key::Char:
            return code.ch == U' ' ? std::string("space")
                                   : std::string(1, static_cast<char>(code.ch));
        case Key::Up:
            return "Up";
        case Key::Down:
            return "Down";
        case Key::Left:
            return "Left";
        case Key::Right:
            return "Right";
        case Key::PageUp:
            return "PageUp";
        case Key::PageDown:
            return "PageDown";
        case Key::Home:
            return "Home";
        case Key::End:
            return "End";
        case Key::Enter:
            return "Enter";
        case Key::Backspace:
            return "Backspace";
        case Key::Esc:
            return "Esc";
        default:
            return "?";
    }
}

std::span<const OverlayBinding> unreadable_bindings() {
    return kUnreadable;
}
std::span<const OverlayBinding> picks_bindings() {
    return kPicks;
}
std::span<const OverlayBinding> info_bindings() {
    return kInfo;
}
std::span<const OverlayBinding> largest_bindings() {
    return kLargest;
}

std::optional<OverlayAction> overlay_action(std::span<const OverlayBinding> table,
                                            const term::KeyEvent& key) {
    for (const OverlayBinding& binding : table) {
        if (binding.code == key.code) {
            return binding.action;
        }
    }
    return std::nullopt;
}

}  // namespace bramwex::app
