#include "app/cursor.hpp"

#include <algorithm>
#include <limits>

namespace bramwex::app {

std::optional<size_t> move_cursor(const term::KeyEvent& key, size_t current, size_t count,
                                  size_t page) {
    page = std::max<size_t>(page, 1);
    const size_t last = count == 0 ? 0 : count - 1;
    const auto saturating_add = [](size_t a, size_t b) {
        return a > std::numeric_limits<size_t>::max() - b ? std::numeric_limits<size_t>::max()
                                                          : a + b;
    };
    size_t target = 0;
    const term::KeyCode code = key.code;
    if (code == term::Key::Up || code == U'k') {
        target = current == 0 ? 0 : current - 1;
    } else if (code == term::Key::Down || code == U'j') {
        target = saturating_add(current, 1);
    } else if (code == term::Key::Home || code == U'g') {
        target = 0;
    } else if (code == term::Key::End || code == U'G') {
        target = last;
    } else if (code == term::Key::PageUp) {
        target = current > page ? current - page : 0;
    } else if (code == term::Key::PageDown) {
        target = saturating_add(current, page);
    } else {
        return std::nullopt;
    }
    return std::min(last, target);
}

}  // namespace bramwex::app
