#include "app/help.hpp"

#include <array>

namespace bramwex::app {

std::span<const HelpRow> help_rows() {
    static constexpr std::array<HelpRow, 22> kRows = {{
        {"Up Down k j", "move"},
        {"PageUp PageDown", "move by a screen"},
        {"Home End g G", "go to the first or the last row"},
        {"Right Enter l", "go into the directory; on the volume list, scan the volume"},
        {"Left Backspace h", "go to the parent directory"},
        {"r", "reveal in Finder or the file manager"},
        {"o", "open"},
        {"space", "pick or unpick the selected item, to delete by hand later"},
        {"p", "list the picks, with their sizes now; space unpicks"},
        {"c", "sort by how much each item changed this session; again for size"},
        {"s", "rescan the selected directory"},
        {"S", "rescan everything"},
        {"/", "filter the column by text; Enter keeps the filter, Esc clears it"},
        {"d", "list the directories that could not be read, and why"},
        {"t", "list the largest files"},
        {"i", "show everything about the selected item"},
        {"u", "switch sizes between GiB (1024) and GB (1000)"},
        {"?", "show or hide this help"},
        {"q Esc", "quit; Esc closes a filter or list first, or goes back to the volume list"},
        {"click", "select; in the parent or preview column, go there"},
        {"double click", "go into the directory, or scan the volume"},
        {"wheel", "scroll the column under the pointer"},
    }};
    return kRows;
}

}  // namespace bramwex::app
