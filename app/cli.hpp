// The command line: the definition of `bramwex`, its parse into plain records,
// and the dispatch to the browser, `scan` or `show`.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/output/output_options.hpp"
#include "core/scan/scan_options.hpp"

namespace bramwex::app {

struct ScanCommand {
    std::string path;
    std::optional<uint32_t> threads;
    core::Reader reader = core::Reader::Auto;
    std::optional<uint64_t> stop_after;
    core::OutputOptions output;
};

struct ShowCommand {
    std::string path;
    core::OutputOptions output;
};

struct Cli {
    std::optional<std::string> path;  // the browser's folder; none: the volume list
    bool reclaimable = false;
    bool si = false;
    std::variant<std::monostate, ScanCommand, ShowCommand> command;  // monostate: the browser
};

// Either the parsed command line, or the exit status the process ends with
// (after help, version or a parse error, whose text was already written).
using ParseOutcome = std::variant<Cli, int>;

// Parses args (args[0] is the program name). Help and version go to out,
// errors to err; statuses are 0 after help and version and 2 on every error.
ParseOutcome parse_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The whole command: parse (ending the process on help, version or a parse
// error, as a command-line parser does), open the log file, run the mode and
// return its exit status.
int cli_main(const std::vector<std::string>& args);

}  // namespace bramwex::app
