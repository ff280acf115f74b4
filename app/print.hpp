// Output of the command line: the report to standard output in one write,
// messages to standard error as "bramwex: {message}\n".
#pragma once

#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/output/json.hpp"
#include "core/output/output_options.hpp"
#include "core/output/report.hpp"

namespace bramwex::app {

void print_error(std::string_view message);

// A path as a message shows it: escaped as report names are, so no path can
// move the cursor or forge a line of its own.
std::string shown_path(std::string_view path);

// An error as "{path}: {error}" when it concerns a file, so a message never
// hides where it happened; as its own text otherwise, or when that file is
// `named`, the path the message already gives.
std::string error_with_path(const core::Error& error, std::string_view named = {});

// Writes the text to standard output; returns 0, or the exit status its
// failure calls for: 1 after printing "write error: ..." (a full disk, an I/O
// error), or 128 + SIGPIPE with nothing printed when the reader went away, as
// a command killed by that signal would end.
int write_stdout(std::string_view text);

// The JSON document or the text report of a tree, printed in one write;
// returns what write_stdout returns.
template <class TreeLike>
int print_report(const TreeLike& tree, const core::OutputOptions& output, bool stopped) {
    return write_stdout(output.json ? core::build_json_document(tree, output, stopped)
                                    : core::build_text_report(tree, output, stopped));
}

}  // namespace bramwex::app
