#include "app/browse/bottom_line.hpp"

#include <algorithm>

#include "app/browse/browser.hpp"
#include "app/browse/cells.hpp"

namespace bramwex::app {

term::Line bottom_line(const Browser& b, const StyleTable& styles, size_t width) {
    if (b.status) {
        std::string text = *b.status;
        std::erase(text, '\n');
        return term::Line({term::Span(std::move(text))});
    }
    std::string hint;
    if (b.info_shown) {
        hint = "i close  ? help  q quit";
    } else if (b.unreadable_shown) {
        hint = "arrows/jk scroll  d close  ? help  q quit";
    } else if (b.largest_shown) {
        hint = "arrows/jk move  r reveal  o open  t close  ? help  q quit";
    } else if (b.picks_shown) {
        hint = "arrows/jk move  r reveal  o open  space unpick  p close  ? help  q quit";
    } else if (b.filter_editing) {
        hint = "/" + b.filter + "  enter keep  esc clear";
    } else if (!b.filter.empty()) {
        hint = "/" + b.filter + "  esc clear";
    } else {
        hint = browse_hint_line(width);
    }
    return hint_line(styles, hint);
}

}  // namespace bramwex::app
