// One frame at a time: paint, diff, write, swap.
#include "app/term/renderer.hpp"

#include <utility>

#include "app/term/diff.hpp"
#include "app/term/write_all.hpp"

namespace bramwex::term {

Buffer& Renderer::begin_frame(uint16_t columns, uint16_t rows) {
    const Rect area{0, 0, columns, rows};
    if (painting_.area() != area) {
        painting_.resize(area);
        shown_.resize(area);
        redraw_ = true;
    } else {
        painting_.reset();
    }
    return painting_;
}

std::expected<void, std::error_code> Renderer::end_frame() {
    const std::string bytes = redraw_ ? redraw_frame(painting_) : diff_frames(shown_, painting_);
    redraw_ = true;
    if (auto written = write_all(output_fd_, bytes); !written) {
        return written;
    }
    redraw_ = false;
    std::swap(shown_, painting_);
    return {};
}

}  // namespace bramwex::term
