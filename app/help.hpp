// The rows of the help screen: keys and what they do.
#pragma once

#include <span>
#include <string_view>

namespace bramwex::app {

struct HelpRow {
    std::string_view keys;
    std::string_view text;
};

std::span<const HelpRow> help_rows();

}  // namespace bramwex::app
