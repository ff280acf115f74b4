#include "app/browse/draw_browser.hpp"

namespace bramwex::app {

void draw_browser(Browser& browser, term::Buffer& frame, const term::Rect& area,
                  const StyleTable& styles, std::chrono::system_clock::time_point) {
    frame.set_string(area.x, area.y, browser.title, styles[Look::FolderName]);
}

}  // namespace bramwex::app
