#include "core/output/report.hpp"

#include <fmt/format.h>

namespace bramwex::core {

void append_report_rows(std::string& out, std::vector<ReportRow>& rows,
                        const OutputOptions& options) {
    std::stable_sort(rows.begin(), rows.end(), [](const ReportRow& a, const ReportRow& b) {
        if (a.size != b.size) {
            return a.size > b.size;
        }
        return bytes_less(a.name, b.name);
    });
    for (const ReportRow& row : rows) {
        out += report_size_cells(options.reclaimable, options.si, row.size, row.reclaimable);
        out += "  ";
        out += row.label;
        out += '\n';
    }
}

void append_largest_files(std::string& out, const std::vector<FilePath>& files, bool si) {
    out += "\nlargest files:\n";
    for (const FilePath& file : files) {
        out += fmt::format("{:>10}  {}\n", format_size(si, file.size),
                           escape_control_chars(file.path));
    }
}

}  // namespace bramwex::core
