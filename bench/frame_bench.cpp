// What one frame of the full-screen app costs: the bytes the diff renderer
// writes when the selection moves one row and for a full first frame, and
// the time of a whole frame (draw, diff, write into a pseudo-terminal) on the
// volume list and on the help screen.
//
//   bramwex_frame_bench [--frames N]
//
// Limits it checks (exit status 1 when one is missed): a one-row move under
// 300 bytes, a first frame under 12 KB, a median frame under 1 ms.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app.hpp"
#include "app/draw_app.hpp"
#include "app/term/renderer.hpp"

namespace {

using namespace bramwex;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kColumns = 120;
constexpr uint16_t kRows = 40;

// Reads what the renderer wrote so the pseudo-terminal never fills up.
size_t drain(int master) {
    size_t total = 0;
    char bytes[65536];
    for (;;) {
        const ssize_t got = ::read(master, bytes, sizeof bytes);
        if (got <= 0) {
            return total;
        }
        total += static_cast<size_t>(got);
    }
}

void frame(app::App& app, term::Renderer& renderer) {
    term::Buffer& buffer = renderer.begin_frame(kColumns, kRows);
    app::draw_app(app, buffer, app::WallClock::now());
    if (!renderer.end_frame()) {
        fmt::print(stderr, "frame_bench: writing a frame failed\n");
        std::exit(2);
    }
}

// Median microseconds of `frames` frames, each after `change` altered the app.
template <class Change>
double median_frame_us(app::App& app, term::Renderer& renderer, int master, int frames,
                       Change change) {
    std::vector<double> times;
    times.reserve(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        change(i);
        const auto start = Clock::now();
        frame(app, renderer);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        drain(master);
    }
    std::nth_element(times.begin(), times.begin() + frames / 2, times.end());
    return times[static_cast<size_t>(frames / 2)];
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 2000;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::string(argv[k]) == "--frames") {
            frames = std::max(1, std::atoi(argv[k + 1]));
        }
    }

    int master = -1;
    int slave = -1;
    const winsize size{kRows, kColumns, 0, 0};
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        fmt::print(stderr, "frame_bench: openpty failed\n");
        return 2;
    }
    // Raw output, so the bytes counted are the bytes the renderer wrote.
    termios modes{};
    ::tcgetattr(slave, &modes);
    ::cfmakeraw(&modes);
    ::tcsetattr(slave, TCSANOW, &modes);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    std::vector<core::sys::Mount> volumes;
    for (int i = 0; i < 20; ++i) {
        const uint64_t total = (uint64_t{1} << 30) * static_cast<uint64_t>(50 + 37 * i);
        const uint64_t used = total / 100 * static_cast<uint64_t>(5 + 4 * i);
        volumes.push_back(
            {fmt::format("/mnt/volume-{:02}", i), "ext4", total, used, total - used, false});
    }
    app::App app(std::nullopt, volumes, app::AppEnv{}, nullptr, false);
    term::Renderer renderer(slave);
    const app::Spawn spawn = [](const app::Command&) { return std::optional<int>(); };
    const auto press = [&](char32_t ch) { app.on_key({term::KeyCode(ch), {}}, spawn); };

    frame(app, renderer);
    const size_t first_bytes = drain(master);
    press(U'j');
    frame(app, renderer);
    const size_t move_bytes = drain(master);

    const double list_us = median_frame_us(app, renderer, master, frames,
                                           [&](int i) { press(i % 2 == 0 ? U'j' : U'k'); });
    const double help_us =
        median_frame_us(app, renderer, master, frames, [&](int) { press(U'?'); });
    app.help_shown = true;
    const double help_still_us = median_frame_us(app, renderer, master, frames, [](int) {});

    fmt::print("screen {}x{}, {} volumes, {} frames each\n", kColumns, kRows, volumes.size(),
               frames);
    fmt::print("first frame:               {:>7} bytes (limit 12288)\n", first_bytes);
    fmt::print("selection moved one row:   {:>7} bytes (limit 300)\n", move_bytes);
    fmt::print("volume list, row moves:    {:>7.1f} us median frame (limit 1000)\n", list_us);
    fmt::print("help shown and hidden:     {:>7.1f} us median frame\n", help_us);
    fmt::print("help unchanged:            {:>7.1f} us median frame\n", help_still_us);
    const bool ok = first_bytes < 12288 && move_bytes < 300 && list_us < 1000 && help_us < 1000 &&
                    help_still_us < 1000;
    ::close(slave);
    ::close(master);
    return ok ? 0 : 1;
}
