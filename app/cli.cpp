#include "app/cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <string_view>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "app/cli_scan.hpp"
#include "app/cli_show.hpp"
#include "app/logfile.hpp"
#include "app/run_app.hpp"
#include "app/uncaught.hpp"
#include "core/base/fatal.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::app {

namespace {

constexpr const char* kVersion = "0.2.0";
constexpr const char* kReclaimableHelp =
    "Add a column of reclaimable bytes: the space deleting each item alone frees, while clones "
    "of its files elsewhere remain";
constexpr const char* kSiHelp =
    "Sizes in powers of 1000 (kB, MB, GB), as Finder and disk makers, not of 1024 (KiB, MiB, "
    "GiB). The browser switches with `u`";

// Counts are plain decimal digits in their range: no sign (a negative count
// must not wrap around), no hexadecimal, no exponent, and nothing past what
// the field holds (the parser would otherwise store a clipped or wrapped value).
template <class Count>
CLI::Validator count_in_range(Count low, Count high) {
    return CLI::Validator(
        [low, high](const std::string& value) -> std::string {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
                return "Value " + value + " is not a whole number";
            }
            Count count{};
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), count);
            if (error != std::errc() || count < low || count > high) {
                return fmt::format("Value {} not in range {} to {}", value, low, high);
            }
            return {};
        },
        "", "COUNT");
}

void add_output_flags(CLI::App& command, core::OutputOptions& output) {
    command.add_flag("-r,--reclaimable", output.reclaimable, kReclaimableHelp);
    command.add_flag("--si", output.si, kSiHelp);
    command.add_flag("--json", output.json, "Print JSON instead of text, sizes in bytes");
    command
        .add_option("--depth", output.depth, "Levels of subdirectories in the JSON [default: 1]")
        ->type_name("DEPTH")
        ->check(count_in_range<uint64_t>(0, std::numeric_limits<uint64_t>::max()));
    command.add_option("--top", output.top, "Also list the N largest files")
        ->type_name("N")
        ->check(count_in_range<uint16_t>(1, 1000));
}

// Whether a subcommand may follow: top-level arguments and subcommands
// exclude each other, so once PATH, -r or --si was given, a later "scan" is a
// path like any other.
bool subcommand_first(const std::vector<std::string>& args) {
    for (size_t k = 1; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (arg == "scan" || arg == "show" || arg == "help") {
            return true;
        }
        if (arg == "-h" || arg == "--help" || arg == "-V" || arg == "--version") {
            continue;
        }
        return false;
    }
    return true;
}

std::string failure_message(const CLI::App* app, const CLI::Error& error) {
    std::string text = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // Listed in the order given; the library's own text has them last to first.
        const std::vector<std::string> extras = app->remaining(true);
        text = fmt::format("The following argument{} not expected: {}",
                           extras.size() > 1 ? "s were" : " was", fmt::join(extras, " "));
    }
    const std::string simple = CLI::FailureMessage::simple(app, error);
    // Escaped, since the text quotes arguments, paths among them.
    return core::escape_control_chars(text) +
           simple.substr(std::min(simple.size(), std::strlen(error.what())));
}

struct Definition {
    CLI::App app{"Read-only disk usage browser for macOS and Linux, built for speed", "bramwex"};
    CLI::App* scan = nullptr;
    CLI::App* show = nullptr;
    CLI::App* help = nullptr;
    std::string reader = "auto";
};

void define(Definition& d, Cli& cli, ScanCommand& scan, ShowCommand& show, bool with_subcommands) {
    CLI::App& app = d.app;
    app.failure_message(failure_message);
    app.set_version_flag("-V,--version", std::string("bramwex ") + kVersion);
    app.add_option("PATH", cli.path,
                   "Browse PATH full screen while it is scanned. Without PATH, pick a volume to "
                   "browse first");
    app.add_flag("-r,--reclaimable", cli.reclaimable, kReclaimableHelp);
    app.add_flag("--si", cli.si, kSiHelp);
    if (!with_subcommands) {
        return;
    }
    d.scan = app.add_subcommand(
        "scan",
        "Print the size of PATH and of each of its direct children, and save the result for "
        "`show`. Ctrl-C stops the scan, then prints and saves what it found, marked incomplete");
    d.scan->add_option("PATH", scan.path)->required();
    d.scan
        ->add_option("--threads", scan.threads,
                     "Worker threads [default: 4, up to the number of cores while waiting on the "
                     "disk]")
        ->type_name("THREADS")
        ->check(count_in_range<uint32_t>(1, core::kMaxScanThreads));
    d.scan
        ->add_option("--reader", d.reader,
                     "Directory reader, for the differential test and benchmarks")
        ->type_name("READER")
        ->check(CLI::IsMember({"auto", "portable"}))
        ->default_str("auto")
        ->capture_default_str();
    d.scan
        ->add_option("--stop-after", scan.stop_after,
                     "Stop after listing N directories below PATH, as Ctrl-C would, for the tests")
        ->type_name("N")
        ->check(count_in_range<uint64_t>(0, std::numeric_limits<uint64_t>::max()));
    add_output_flags(*d.scan, scan.output);

    d.show = app.add_subcommand(
        "show",
        "Print the last saved scan of PATH, exactly as `scan` printed it, without scanning");
    d.show->add_option("PATH", show.path)->required();
    add_output_flags(*d.show, show.output);

    d.help =
        app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    d.help->allow_extras();
}

int print_help_of(CLI::App& app, const std::vector<std::string>& args, std::ostream& out,
                  std::ostream& err) {
    CLI::App* topic = &app;
    std::string parents;  // the usage line names the whole command, as --help does
    for (size_t k = 2; k < args.size(); ++k) {
        try {
            CLI::App* next = topic->get_subcommand(args[k]);
            parents += (parents.empty() ? "" : " ") + topic->get_name();
            topic = next;
        } catch (const CLI::OptionNotFound&) {
            err << "error: unrecognized subcommand '" << core::escape_control_chars(args[k])
                << "'\n";
            return 2;
        }
    }
    out << topic->help(parents);
    return 0;
}

}  // namespace

ParseOutcome parse_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Definition d;
    Cli cli;
    ScanCommand scan;
    ShowCommand show;
    define(d, cli, scan, show, subcommand_first(args));
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    if (!reversed.empty()) {
        reversed.pop_back();  // the program name
    }
    // "help [COMMAND]" is answered before parsing: its argument names a
    // subcommand, which the parser would otherwise start.
    if (d.help != nullptr && args.size() >= 2 && args[1] == "help") {
        return print_help_of(d.app, args, out, err);
    }
    try {
        d.app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        const int code = d.app.exit(error, out, err);
        return code == 0 ? 0 : 2;
    }
    if (d.scan != nullptr && d.scan->parsed()) {
        scan.reader = d.reader == "portable" ? core::Reader::Portable : core::Reader::Auto;
        cli.command = std::move(scan);
    } else if (d.show != nullptr && d.show->parsed()) {
        cli.command = std::move(show);
    }
    return cli;
}

namespace {

int run_command(const std::vector<std::string>& args) {
    ParseOutcome outcome = parse_cli(args, std::cout, std::cerr);
    if (const int* status = std::get_if<int>(&outcome)) {
        std::cout.flush();
        std::cerr.flush();
        std::exit(*status);
    }
    Cli& cli = std::get<Cli>(outcome);
    init_log_file();
    if (auto* scan = std::get_if<ScanCommand>(&cli.command)) {
        return cli_scan(*scan);
    }
    if (auto* show = std::get_if<ShowCommand>(&cli.command)) {
        return cli_show(*show);
    }
    return cli_browse(cli.path, cli.reclaimable, cli.si);
}

}  // namespace

int cli_main(const std::vector<std::string>& args) {
    const OutOfMemoryExit out_of_memory;
    try {
        return run_command(args);
    } catch (const core::Fatal&) {
        throw;  // the executable and the module each report it their own way
    } catch (...) {
        return report_uncaught_exception();
    }
}

}  // namespace bramwex::app
