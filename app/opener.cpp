#include "app/opener.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "core/base/eintr.hpp"

extern char** environ;

namespace bramwex::app {

std::optional<Command> open_command(Opener opener, const std::string& path, bool reveal) {
    switch (opener) {
        case Opener::MacOpen:
            return reveal ? Command{"/usr/bin/open", {"-R", path}}
                          : Command{"/usr/bin/open", {path}};
        case Opener::XdgOpen: {
            if (!reveal) {
                return Command{"xdg-open", {path}};
            }
            std::string parent = path;
            while (parent.size() > 1 && parent.back() == '/') {
                parent.pop_back();
            }
            const size_t slash = parent.rfind('/');
            if (slash == std::string::npos || parent == "/") {
                return std::nullopt;
            }
            parent.resize(slash == 0 ? 1 : slash);
            return Command{"xdg-open", {parent}};
        }
        case Opener::None:
            return std::nullopt;
    }
    return std::nullopt;
}

Command open_full_disk_access_settings() {
    return {"/usr/bin/open",
            {"x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"}};
}

std::optional<int> spawn_detached(const Command& command) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const std::string& argument : command.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int failed =
        posix_spawnp(&child, command.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        return failed;
    }
    try {
        std::thread([child] {
            int status = 0;
            core::sys::retry_on_eintr([&] { return ::waitpid(child, &status, 0); });
        }).detach();
    } catch (const std::system_error&) {
        // No thread for the waiter: reap here rather than leave a zombie.
        int status = 0;
        core::sys::retry_on_eintr([&] { return ::waitpid(child, &status, 0); });
    }
    return std::nullopt;
}

std::string run_error_text(const std::string& program, int error) {
    return "cannot run " + program + ": " + core::Error::os(error, {}).to_string();
}

}  // namespace bramwex::app
