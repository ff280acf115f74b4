#include "app/app_env.hpp"

#include <cstdlib>
#include <string_view>

#include "core/base/utf8.hpp"
#include "core/store/cache_dir.hpp"

namespace bramwex::app {

namespace {

bool set_and_not_empty(const char* value) {
    return value != nullptr && *value != '\0';
}

}  // namespace

std::string terminal_app_name(const char* term_program) {
    // A value that is not valid text names no application.
    bool lossy = false;
    if (term_program != nullptr) {
        core::to_utf8_lossy(term_program, &lossy);
    }
    const std::string_view name = term_program != nullptr && !lossy ? term_program : "";
    if (name.empty() || name == "tmux" || name == "screen") {
        return "your terminal";
    }
    if (name == "vscode") {
        return "Visual Studio Code";
    }
    if (name == "ghostty") {
        return "Ghostty";
    }
    if (name == "iTerm.app") {
        return "iTerm";
    }
    if (name == "Apple_Terminal") {
        return "Terminal";
    }
    return std::string(name);
}

AppEnv AppEnv::from_env() {
    AppEnv env;
    env.app_name = terminal_app_name(std::getenv("TERM_PROGRAM"));
    if (auto dir = core::cache_dir()) {
        env.cache_dir = std::move(*dir);
    }
    if (const char* home = std::getenv("HOME")) {
        env.home = home;
    }
    env.colours = !set_and_not_empty(std::getenv("NO_COLOR"));
    // Linux has no system opener at a fixed path; xdg-open stands for it.
    env.opener = set_and_not_empty(std::getenv("SSH_CONNECTION")) ? Opener::None : Opener::XdgOpen;
    return env;
}

}  // namespace bramwex::app
