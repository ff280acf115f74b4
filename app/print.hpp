// Output of the command line: the report to standard output in one write,
// messages to standard error as "bramwex: {message}\n".
#pragma once

#include <string>
#include <string_view>

#include "core/output/json.hpp"
#include "core/output/output_options.hpp"
#include "core/output/report.hpp"

namespace bramwex::app {

void print_error(std::string_view message);
void write_stdout(std::string_view text);

// The JSON document or the text report of a tree, printed in one write.
template <class TreeLike>
void print_report(const TreeLike& tree, const core::OutputOptions& output, bool stopped) {
    write_stdout(output.json ? core::build_json_document(tree, output, stopped)
                             : core::build_text_report(tree, output, stopped));
}

}  // namespace bramwex::app
