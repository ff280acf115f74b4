// What the keys of the browse screen do in the normal mode, as one table of
// bindings, and while the filter is being typed.
#pragma once

#include <optional>
#include <span>

#include "app/term/events.hpp"

namespace bramwex::app {

enum class BrowseAction : uint8_t {
    Move,          // the list cursor keys
    Up,            // to the parent folder
    Into,          // into the selected folder
    Escape,        // clears the filter, else leaves the browser
    Filter,        // starts typing the filter
    SortByChange,  // flips the row order
    Quit,
};

struct KeyBinding {
    term::KeyCode code;
    BrowseAction action;
};

std::span<const KeyBinding> normal_bindings();
std::optional<BrowseAction> normal_action(const term::KeyEvent& key);

}  // namespace bramwex::app
