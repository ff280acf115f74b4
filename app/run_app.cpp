#include "app/run_app.hpp"

#include <dirent.h>
#include <fmt/format.h>
#include <signal.h>
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
#include "app/term/suspend_signals.hpp"
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

// How the main loop ended: the signal that ended it (0 after quit), or the
// error of the terminal. A terminal that went away ends it as SIGHUP does.
using LoopEnd = std::expected<int, std::error_code>;

LoopEnd terminal_failed(std::error_code error) {
    if (term::is_hangup(error.value())) {
        return SIGHUP;
    }
    return std::unexpected(error);
}

// Draws, waits up to a second for events, handles every queued one, then lets
// the browsers apply their live updates; until quit, a signal or the end of
// the terminal.
LoopEnd main_loop(App& app, term::Terminal& terminal, const term::ExitSignals& exit_signals,
                  term::SuspendSignals& suspend_signals, core::ChannelReceiver<AppEvent>& events) {
    term::Renderer renderer(terminal.output_fd());
    const Spawn spawn = [](const Command& command) { return spawn_detached(command); };
    // The terminal taken over again, after the app was stopped or whatever
    // ran meanwhile; its screen is then unknown.
    const auto take_back = [&]() -> std::optional<LoopEnd> {
        if (const auto resumed = terminal.resume(); !resumed) {
            return terminal_failed(resumed.error());
        }
        renderer.invalidate();
        return std::nullopt;
    };
    for (;;) {
        const auto size = terminal.size();
        if (!size) {
            return terminal_failed(size.error());
        }
        term::Buffer& frame = renderer.begin_frame(size->columns, size->rows);
        draw_app(app, frame, WallClock::now());
        if (const auto written = renderer.end_frame(); !written) {
            return terminal_failed(written.error());
        }
        auto event =
            events.receive_until(std::chrono::steady_clock::now() + std::chrono::seconds(1));
        while (event) {
            if (const auto* input = std::get_if<term::InputEvent>(&*event)) {
                if (const auto* key = std::get_if<term::KeyEvent>(input)) {
                    if (app.on_key(*key, spawn)) {
                        return 0;
                    }
                } else if (const auto* mouse = std::get_if<term::MouseEvent>(input)) {
                    app.on_mouse(*mouse, WallClock::now());
                } else if (std::holds_alternative<term::ExitRequested>(*input)) {
                    // SIGTERM or SIGHUP: leave as on quit, saving the scan.
                    return exit_signals.received().value_or(0);
                } else if (std::holds_alternative<term::StopRequested>(*input)) {
                    // Given back as on exit while stopped, so that the shell
                    // that continues the app finds its own terminal.
                    terminal.suspend();
                    suspend_signals.stop_process();
                    if (auto ended = take_back()) {
                        return *ended;
                    }
                } else if (std::holds_alternative<term::Continued>(*input)) {
                    if (auto ended = take_back()) {
                        return *ended;
                    }
                } else if (const auto* ended = std::get_if<term::InputEnded>(input)) {
                    return terminal_failed({ended->error, std::system_category()});
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
            return {std::move(error), std::nullopt, 0};
        }
    }
    auto mounts = core::sys::list_mounts();
    if (!mounts && !path) {
        return {core::Error::os(mounts.error(), "/proc/self/mountinfo"), std::nullopt, 0};
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
    auto suspend_signals = term::SuspendSignals::install();
    if (!signals || !suspend_signals) {
        core::fatal("failed to initialize terminal");
    }
    auto terminal = term::Terminal::take_over();
    if (!terminal) {
        // The pointer goes on a line of its own under the fatal one.
        core::fatal("failed to initialize terminal\nbramwex: the browser needs a terminal; {}",
                    kScanInstead);
    }
    LoopEnd ended;
    {
        auto input = term::InputReader::start(
            terminal->input_fd(), [sender](term::InputEvent event) { sender.send(event); },
            (*signals)->wake_fd(), (*suspend_signals)->wake_fd());
        if (!input) {
            core::fatal("failed to spawn thread");
        }
        ended = main_loop(app, *terminal, **signals, **suspend_signals, receiver);
        (*input)->stop();
    }
    terminal->restore();
    // A stop while the scans are saved stops at once: the terminal is back.
    suspend_signals->reset();
    if (auto failed = app.save_scans()) {
        print_error("warning: scan not saved: " + failed->to_string());
    }
    if (!ended) {
        return {std::nullopt, core::Error::os(ended.error().value(), {}), 0};
    }
    // A signal that came first tells how the run ended, as it asked to.
    return {std::nullopt, std::nullopt, (*signals)->received().value_or(*ended)};
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
    if (outcome.terminal_error) {
        print_error("terminal: " + outcome.terminal_error->to_string());
        return 1;
    }
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
