// Opening and revealing a path with the desktop's opener, started detached
// so the app never waits for it and never leaves a zombie behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/app_env.hpp"
#include "core/base/error.hpp"

namespace bramwex::app {

struct Command {
    std::string program;
    std::vector<std::string> arguments;
    friend bool operator==(const Command&, const Command&) = default;
};

// The command that opens path, or reveals it (the file manager on its parent
// folder); none when nothing is to be started (over SSH, or no parent).
std::optional<Command> open_command(Opener opener, const std::string& path, bool reveal);

// The command that opens the system's privacy settings at Full Disk Access.
Command open_full_disk_access_settings();

// Starts command with its standard streams on /dev/null and returns at once;
// a detached thread reaps the child. The error is the start failure's errno.
std::optional<int> spawn_detached(const Command& command);

// "cannot run {program}: {error}".
std::string run_error_text(const std::string& program, int error);

}  // namespace bramwex::app
