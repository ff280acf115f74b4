#include "app/browse/browser.hpp"

namespace bramwex::app {

bool Browser::handle_key(const term::KeyEvent& key, const Spawn&) {
    return key.code == term::Key::Esc || key.code == U'q';
}

}  // namespace bramwex::app
