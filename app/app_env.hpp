// What the full-screen app reads from the environment once at start: the
// terminal's name for the notice, the cache folder, HOME, the live interval,
// colours and how folders are opened.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace bramwex::app {

enum class Opener : uint8_t {
    MacOpen = 0,  // "/usr/bin/open"
    XdgOpen = 1,  // "xdg-open"
    None = 2,     // over SSH: nothing is started, the path is shown instead
};

struct AppEnv {
    std::string app_name;                  // the terminal application named in the notice
    std::optional<std::string> cache_dir;  // none when it cannot be determined
    std::optional<std::string> home;       // HOME, none when unset
    std::chrono::nanoseconds interval = std::chrono::seconds(1);  // for every live thread
    std::shared_ptr<std::function<void()>> waker;  // set by run_app; wakes the main loop
    bool watch = true;                             // live threads follow through file-system events
    bool si = false;                               // sizes in powers of 1000; `u` flips it
    bool colours = true;                           // false when NO_COLOR is set and not empty
    Opener opener = Opener::XdgOpen;

    // Reads TERM_PROGRAM, SSH_CONNECTION, NO_COLOR, HOME and the cache folder.
    static AppEnv from_env();
};

// The name the notice gives the terminal application of TERM_PROGRAM.
std::string terminal_app_name(const char* term_program);

}  // namespace bramwex::app
