// The JSON document of scan and show and its string writer. The walk over
// children is iterative (an explicit stack), so deep trees never deepen the
// call stack; the whole document is built in one growable buffer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/output/output_options.hpp"
#include "core/tree/read.hpp"

namespace bramwex::core {

// Appends a JSON string literal of the bytes (invalid UTF-8 replaced by
// U+FFFD); returns true when a replacement was made.
bool write_json_string(std::string& out, std::string_view bytes);

// Appends the head of one folder's object, without its closing brace.
template <class Source>
void write_json_folder(const Source& tree, bool reclaimable, std::string& out, FolderId id) {
    out += "{\"name\":";
    const bool lossy = write_json_string(out, tree.name(id));
    out += ",\"size\":";
    out += std::to_string(tree.total_size(id));
    if (reclaimable) {
        out += ",\"reclaimable\":";
        out += std::to_string(tree.reclaimable(id));
    }
    out += ",\"own\":";
    out += std::to_string(tree.own(id));
    if (const auto error = tree.error_text(id)) {
        out += ",\"denied\":";
        write_json_string(out, *error);
    }
    if (tree.other_device(id)) {
        out += ",\"other_device\":true";
    }
    if (tree.is_partial(id)) {
        out += ",\"partial\":true";
    }
    if (lossy) {
        out += ",\"name_lossy\":true";
    }
}

template <class Source>
std::string build_json_document(const Source& tree, const OutputOptions& options, bool stopped) {
    const FolderId root{0, 0};
    const uint64_t depth = options.depth.value_or(1);
    std::string out;
    write_json_folder(tree, options.reclaimable, out, root);
    if (stopped) {
        out += ",\"incomplete\":true";
    }
    if (depth > 0) {
        // One open "children" array per level: its sorted ids and the next position.
        struct Level {
            std::vector<FolderId> ids;
            size_t next = 0;
        };
        std::vector<Level> stack;
        out += ",\"children\":[";
        stack.push_back({tree.sorted_children(root), 0});
        while (!stack.empty()) {
            Level& level = stack.back();
            if (level.next == level.ids.size()) {
                stack.pop_back();
                out += ']';
                if (!stack.empty()) {
                    out += '}';  // closes the folder that owned this array
                }
                continue;
            }
            const FolderId child = level.ids[level.next++];
            if (out.back() != '[') {
                out += ',';
            }
            write_json_folder(tree, options.reclaimable, out, child);
            if (stack.size() >= depth) {
                out += '}';
            } else {
                out += ",\"children\":[";
                stack.push_back({tree.sorted_children(child), 0});
            }
        }
    }
    if (options.top) {
        out += ",\"largest_files\":[";
        bool first = true;
        for (const FilePath& file : tree.largest_file_paths(*options.top)) {
            if (!first) {
                out += ',';
            }
            first = false;
            out += "{\"path\":";
            write_json_string(out, file.path);
            out += ",\"size\":";
            out += std::to_string(file.size);
            out += '}';
        }
        out += ']';
    }
    out += "}\n";
    return out;
}

}  // namespace bramwex::core
