// Keeps the frame on screen and the frame being painted, and sends the
// difference between them to the terminal in one write per frame.
#pragma once

#include <cstdint>
#include <expected>
#include <system_error>

#include "app/term/buffer.hpp"

namespace bramwex::term {

class Renderer {
  public:
    explicit Renderer(int output_fd) : output_fd_(output_fd) {}

    // Starts a frame of `columns` x `rows` at (0, 0): the returned buffer is
    // blank, ready to paint. A size other than the last frame's makes this
    // frame clear the screen and draw everything.
    Buffer& begin_frame(uint16_t columns, uint16_t rows);

    // Writes the changes since the frame on screen (nothing when there are
    // none); that frame is then the one on screen. After a failed write the
    // screen's state is unknown, so the next frame redraws everything.
    std::expected<void, std::error_code> end_frame();

    // The next frame clears the screen and draws everything.
    void invalidate() { redraw_ = true; }

  private:
    int output_fd_;
    Buffer shown_;
    Buffer painting_;
    bool redraw_ = true;
};

}  // namespace bramwex::term
