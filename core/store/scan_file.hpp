// Saved scans at a path of the caller's choosing (Python's load and
// Tree.save), outside the cache folder.
#pragma once

#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The message of the invalid-data error of load_scan_file.
inline constexpr std::string_view kNotASavedScan = "not a scan saved by this version of bramwex";

// Whether an error is load_scan_file's "not a saved scan" rather than an
// operating-system error.
inline bool is_not_a_saved_scan(const Error& error) {
    return error.code == 0 && error.message == kNotASavedScan;
}

// Reads the whole file and converts it into a Tree (a fresh generation, the
// stored stopped flag); its stored root path is taken as it is.
Result<Tree> load_scan_file(const std::string& path);

// Saves the tree with the canonical form of its root path (an error when the
// folder no longer exists) and its reclaimable sizes when it has any. No
// folder is created.
Result<void> save_scan_file(const Tree& tree, const std::string& path);

}  // namespace bramwex::core
