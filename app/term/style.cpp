// Laying one style over another.
#include "app/term/style.hpp"

namespace bramwex::term {

Style Style::patch(const Style& over) const {
    Style result;
    result.fg = over.fg ? over.fg : fg;
    result.bg = over.bg ? over.bg : bg;
    result.add = add.without(over.remove) | over.add;
    result.remove = remove.without(over.add) | over.remove;
    return result;
}

}  // namespace bramwex::term
