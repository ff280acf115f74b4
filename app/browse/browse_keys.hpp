// The keys of the browse screen as one static table: each row binds key codes
// to actions and carries the help screen's text for them, so the help can
// never name a key that does nothing. Also the small tables of the overlays.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/term/events.hpp"

namespace bramwex::app {

enum class BrowseAction : uint8_t {
    None,          // an unused slot of a row
    App,           // answered by the app before the browser sees the key
    Move,          // the list cursor keys
    Up,            // to the parent folder
    Into,          // into the selected folder
    Reveal,        // the selected row in the file manager
    Open,          // the selected row with its application
    Pick,          // picks or unpicks the selected row
    Picks,         // opens the picks
    SortByChange,  // flips the row order
    RescanSelected,
    RescanAll,
    Filter,      // starts typing the filter
    Unreadable,  // opens the list of folders that could not be read
    Largest,     // opens the largest files
    Info,        // opens the info box
    Escape,      // clears the filter, else leaves the browser
    Quit,
};

struct KeyBinding {
    term::KeyCode code;
    BrowseAction action = BrowseAction::None;
};

// One line of the help screen. Mouse rows bind no key: the mouse handler
// answers them.
struct KeyRow {
    std::string_view keys;
    std::string_view text;
    std::array<KeyBinding, 4> bindings;
};

std::span<const KeyRow> key_rows();
std::optional<BrowseAction> normal_action(const term::KeyEvent& key);

// How the help screen names a key code ("Up", "space", "k").
std::string key_name(term::KeyCode code);

enum class OverlayAction : uint8_t { Close, Open, Reveal, Unpick, Quit };

struct OverlayBinding {
    term::KeyCode code;
    OverlayAction action;
};

// The keys of each overlay besides the cursor keys.
std::span<const OverlayBinding> unreadable_bindings();
std::span<const OverlayBinding> picks_bindings();
std::span<const OverlayBinding> info_bindings();
std::span<const OverlayBinding> largest_bindings();
std::optional<OverlayAction> overlay_action(std::span<const OverlayBinding> table,
                                            const term::KeyEvent& key);

}  // namespace bramwex::app
