// The two style tables of the full-screen app (coloured, and plain for
// NO_COLOR) and the names of their entries.
#pragma once

#include <array>
#include <cstdint>

#include "app/term/style.hpp"

namespace bramwex::app {

enum class Look : uint8_t {
    SizeGiB = 0,     // sizes of at least 1 GiB (1 GB with SI units)
    SizeMiB = 1,     // at least 1 MiB
    SizeKiB = 2,     // at least 1 KiB
    SizeBytes = 3,   // smaller sizes
    FolderName = 4,  // folder names; the root total in the title line
    Denied = 5,      // " (denied: ...)" and the reasons of the unreadable list
    Quiet = 6,       // separators, markers, ellipses, "gone"
    Selected = 7,    // the selected row of the current column and of lists
    Ancestor = 8,    // the current folder's row in an ancestor column
    TierSystem = 9,  // label tiers, indexed by tier + 9
    TierCache = 10,
    TierKnown = 11,
    HintKey = 12,   // keys of hint lines
    PickMark = 13,  // the picked mark " *"
    Grew = 14,      // a change that grew
    Shrank = 15,    // a change that shrank
    Warning = 16,   // warnings in the summary and the title line
};

class StyleTable {
  public:
    static const StyleTable& coloured();
    static const StyleTable& plain();
    static const StyleTable& choose(bool colours) { return colours ? coloured() : plain(); }

    const term::Style& operator[](Look look) const { return styles_[static_cast<size_t>(look)]; }

    // The magnitude style of a size: GiB, MiB, KiB or bytes (powers of 1000 with si).
    const term::Style& for_size(bool si, uint64_t bytes) const;

  private:
    explicit constexpr StyleTable(std::array<term::Style, 17> styles) : styles_(styles) {}
    std::array<term::Style, 17> styles_;
};

}  // namespace bramwex::app
