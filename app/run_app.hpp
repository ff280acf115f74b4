// The full-screen app's whole run: checks before the terminal is touched,
// the terminal taken over, the main loop, and the orderly leave.
#pragma once

#include <optional>
#include <string>

#include "core/base/error.hpp"

namespace bramwex::app {

struct AppOutcome {
    std::optional<core::Error> error;           // the path or the volume list failed
    std::optional<core::Error> terminal_error;  // the terminal failed (not by going away)
    int signal = 0;  // SIGTERM or SIGHUP that ended it (a terminal gone: SIGHUP), 0 if none
};

// Runs the app on path (none: the volume list). A path that cannot be listed
// and a volume list that cannot be read (without path) are errors before the
// terminal is touched.
AppOutcome run_app(const std::optional<std::string>& path, bool reclaimable, bool si);

// The command-line mode: run_app, its error printed as "bramwex: {path}:
// {error}" (or "bramwex: cannot list volumes: {error}", or "bramwex:
// terminal: {error}"); the exit status.
// With TERM unset, empty or "dumb" it refuses at once, in one line that
// points to `bramwex scan`, with status 1.
int cli_browse(const std::optional<std::string>& path, bool reclaimable, bool si);

}  // namespace bramwex::app
