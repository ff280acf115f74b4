// The text report of scan and show: the root line, one row per child of the
// root (plus "[files]"), and optionally the largest files. Written once over
// TreeRead so a scanned Tree and a saved StoredTree print the same bytes.
// Names and paths are printed with their control characters escaped, since
// the report goes to a terminal; rows still sort by the names themselves.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "core/base/utf8.hpp"
#include "core/output/format.hpp"
#include "core/output/output_options.hpp"
#include "core/tree/read.hpp"

namespace bramwex::core {

struct ReportRow {
    std::string name;  // the sort key
    uint64_t size = 0;
    uint64_t reclaimable = 0;
    std::string label;
};

// Sorts rows by size descending, equal sizes by name bytes, and appends them.
void append_report_rows(std::string& out, std::vector<ReportRow>& rows,
                        const OutputOptions& options);

// Appends "\nlargest files:\n" and one line per file.
void append_largest_files(std::string& out, const std::vector<FilePath>& files, bool si);

template <class Source>
std::string build_text_report(const Source& tree, const OutputOptions& options, bool stopped) {
    const FolderId root{0, 0};
    std::string out;
    out += report_size_cells(options.reclaimable, options.si, tree.total_size(root),
                             tree.reclaimable(root));
    out += "  ";
    out += escape_control_chars(tree.name(root));
    size_t denied = 0;
    for (uint32_t i = 0; i < tree.record_count(); ++i) {
        denied += (tree.record_at(i).flags & kFlagUnreadable) != 0;
    }
    if (denied != 0) {
        out += fmt::format("  (partial: {} denied)", denied);
    }
    if (stopped) {
        out += "  (incomplete: scan stopped)";
    }
    out += '\n';

    std::vector<ReportRow> rows;
    const ChildIds children = tree.child_ids(root);
    rows.reserve(children.size() + 1);
    for (size_t k = 0; k < children.size(); ++k) {
        const FolderId child = children.id(k);
        ReportRow row;
        row.name = to_utf8_lossy(tree.name(child));
        row.size = tree.total_size(child);
        row.reclaimable = tree.reclaimable(child);
        row.label = escape_control_chars(tree.name(child)) + "/";
        if (const auto error = tree.error_text(child)) {
            row.label += fmt::format(" (denied: {})", *error);
        } else if (tree.other_device(child)) {
            row.label += " (other device)";
        } else if (tree.is_partial(child)) {
            row.label += " (partial)";
        }
        rows.push_back(std::move(row));
    }
    if (const uint64_t own = tree.own(root); own != 0) {
        rows.push_back(
            {"[files]", own, tree.has_reclaimable() ? tree.reclaimable_at(0) : 0, "[files]"});
    }
    append_report_rows(out, rows, options);
    if (options.top) {
        append_largest_files(out, tree.largest_file_paths(*options.top), options.si);
    }
    return out;
}

}  // namespace bramwex::core
