#include "app/run_app.hpp"

#include <dirent.h>
#include <fmt/format.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "app/app.hpp"
#include "app/draw_app.hpp"
#include "app/print.hpp"
#include "app/term/exit_signals.hpp"
#include "app/term/input_reader.hpp"
#include "app/term/renderer.hpp"
#include "app/term/terminal.hpp"
#include "core/base/channel.hpp"
#include "core/base/fatal.hpp"

namespace bramwex::app {

namespace {

struct Wake {};
using AppEvent = std::variant<term::InputEvent, Wake>;

// Where the browser cannot be shown, the report of a scan still can.
constexpr std::string_view kScanInstead = "use `bramwex scan PATH` to print the sizes";

// Why TERM names no terminal the browser can draw on; none when it does.
std::optional<std::string_view> unusable_term() {
    const char* term = std::getenv("TERM");
    if (term == nullptr) {
        return "not set";
    }
    if (*term == '\0') {
        return "empty";
    }
    if (std::string_view(term) == "dumb") {
        return "dumb";
    }
    return std::nullopt;
}

std::optional<core::Error> check_listable(const std::string& path) {
    if (core::has_nul_byte(path)) {
        return core::Error::os(EINVAL, path);
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        return core::Error::os(errno, path);
    }
    ::closedir(dir);
    return std::nullopt;
}

bool at_or_below(std::string_view path, std::string_view base) {
    while (base.size() > 1 && base.back() == '/') {
        base.remove_suffix(1);
    }
    return path.starts_with(base) &&
           (path.size() == base.size() || base == "/" || path[base.size()] == '/');
}

// The access check is asked only where the guarded folders of HOME matter:
// without a path, or when the path and HOME lie one within the other.
AccessCheck make_access_check(const std::optional<std::string>& path) {
    const char* home_value = std::getenv("HOME");
    if (home_value == nullptr || *home_value == '\0') {
        return nullptr;
    }
    std::string home = home_value;
    if (path) {
        char resolved[PATH_MAX];
        if (::realpath(path->c_str(), resolved) == nullptr) {
            return nullptr;
        }
        if (!at_or_below(resolved, home) && !at_or_below(home, resolved)) {
            return nullptr;
        }
    }
    return [home](const ScanTarget&) { return core::sys::full_disk_access(home); };
}

std::optional<core::Error> io_error(const std::error_code& code) {
    return core::Error::os(code.value(), {});
}

// Draws, waits up to a second for events, handles every queued one, then lets
// the browsers apply their live updates; until quit, a signal or an error.
std::optional<core::Error> main_loop(App& app, term::Terminal& terminal,
                                     core::ChannelReceiver<AppEvent>& events) {
    term::Renderer renderer(terminal.output_fd());
    const Spawn spawn = [](const Command& command) { return spawn_detached(command); };
    for (;;) {
        const auto size = terminal.size();
        if (!size) {
            return io_error(size.error());
        }
        term::Buffer& frame = renderer.begin_frame(size->columns, size->rows);
        draw_app(app, frame, WallClock::now());
        if (const auto written = renderer.end_frame(); !written) {
            return io_error(written.error());
        }
        auto event =
            events.receive_until(std::chrono::steady_clock::now() + std::chrono::seconds(1));
        while (event) {
            if (const auto* input = std::get_if<term::InputEvent>(&*event)) {
                if (const auto* key = std::get_if<term::KeyEvent>(input)) {
                    if (app.on_key(*key, spawn)) {
                        return std::nullopt;
                    }
                } else if (const auto* mouse = std::get_if<term::MouseEvent>(input)) {
                    app.on_mouse(*mouse, WallClock::now());
                } else if (std::holds_alternative<term::ExitRequested>(*input)) {
                    // SIGTERM or SIGHUP: leave as on quit, saving the scan.
                    return std::nullopt;
                }
            }
            event = events.try_receive();
        }
        app.drain_events(WallClock::now());
    }
}

}  // namespace

AppOutcome run_app(const std::optional<std::string>& path, bool reclaimable, bool si) {
    if (path) {
        if (auto error = check_listable(*path)) {
            return {std::move(error), 0};
        }
    }
    auto mounts = core::sys::list_mounts();
    if (!mounts && !path) {
        return {core::Error::os(mounts.error(), "/proc/self/mountinfo"), 0};
    }
    AccessCheck access_check = make_access_check(path);

    auto [sender, receiver] = core::make_channel<AppEvent>();
    auto wake_app = std::make_shared<std::function<void()>>([sender] { sender.send(Wake{}); });
    AppEnv env = AppEnv::from_env();
    env.waker = wake_app;
    env.si = si;
    App app(path, mounts ? std::move(*mounts) : std::vector<core::sys::Mount>{}, std::move(env),
            std::move(access_check), reclaimable);

    auto signals = term::ExitSignals::install();
    if (!signals) {
        core::fatal("failed to initialize terminal");
    }
    auto terminal = term::Terminal::take_over();
    if (!terminal) {
        // The pointer goes on a line of its own under the fatal one.
        core::fatal("failed to initialize terminal\nbramwex: the browser needs a terminal; {}",
                    kScanInstead);
    }
    std::optional<core::Error> error;
    {
        auto input = term::InputReader::start(
            terminal->input_fd(), [sender](term::InputEvent event) { sender.send(event); },
            (*signals)->wake_fd());
        if (!input) {
            core::fatal("failed to spawn thread");
        }
        error = main_loop(app, *terminal, receiver);
        (*input)->stop();
    }
    terminal->restore();
    if (auto failed = app.save_scans()) {
        print_error("warning: scan not saved: " + failed->to_string());
    }
    return {std::move(error), (*signals)->received().value_or(0)};
}

int cli_browse(const std::optional<std::string>& path, bool reclaimable, bool si) {
    // Checked before anything is scanned or written: such a terminal would
    // show the alternate screen's and the mouse's codes as text.
    if (const auto why = unusable_term()) {
        print_error(
            fmt::format("TERM is {}, so the browser cannot be drawn; {}", *why, kScanInstead));
        return 1;
    }
    const AppOutcome outcome = run_app(path, reclaimable, si);
    if (outcome.error) {
        const std::string text = outcome.error->to_string();
        if (path) {
            print_error(shown_path(*path) + ": " + text);
        } else {
            print_error("cannot list volumes: " + text);
        }
        return 1;
    }
    return outcome.signal == 0 ? 0 : 128 + outcome.signal;
}

}  // namespace bramwex::app
