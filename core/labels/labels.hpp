// Folder labels: what a folder is, beside its size. A build tool's cache, a
// known place such as the downloads folder, a folder the system protects.
// Labels are computed on demand for the folders being shown, never during a
// scan, from the tables of label_rules.hpp and a few file-system tests, in this
// order (the first rule that gives a label decides):
//   1. the folder carries the immutable inode flag            -> System
//   2. a folder-name rule matches, with its condition         -> Cache
//   3. it holds a CACHEDIR.TAG with the standard signature    -> Cache
//   4. its real path is a known place                         -> Known
// Labelling never fails: a test that errs counts as "no". It only reads the
// tree and the disk, so one LabelContext serves any number of threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/labels/label_rules.hpp"
#include "core/tree/read.hpp"
#include "core/tree/records.hpp"

namespace bramwex::core {

// How a label was found, and so how safe deleting the folder is.
enum class Tier : uint8_t { System = 0, Cache = 1, Known = 2 };

// The tier byte of "no label", where a byte is kept per row.
inline constexpr uint8_t kNoLabelTier = 0xFF;

struct Label {
    Tier tier = Tier::Cache;
    std::string_view text;  // a fixed text of the rule tables, e.g. "cache: npm"
    std::string_view why;   // one line on what it is and how it comes back
    friend bool operator==(const Label&, const Label&) = default;
};

// What labelling needs besides the tree, built once per tree or browser.
struct LabelContext {
    std::optional<std::string> root_real_path;  // realpath of the scan root; none when it failed
    std::optional<std::string> home_real_path;  // realpath of the home folder; none without one

    // Canonicalizes both; a home of none, or one that cannot be resolved,
    // turns off the known places that start with "~".
    static LabelContext make(std::string_view root_path, std::optional<std::string_view> home_path);
    // The same with the home folder taken from HOME.
    static LabelContext from_environment(std::string_view root_path);
};

// The folder as the name rules see it: views into one path. Trailing and
// doubled separators make no difference; "/" has neither name nor parent.
struct FolderPlace {
    std::string_view path;
    std::string_view name;                        // the last component
    std::optional<std::string_view> parent_path;  // "" for a bare relative name
    std::optional<std::string_view> parent_name;  // none when the parent is "/" or ""

    static FolderPlace of(std::string_view path);
};

// Whether the rule's name and condition hold for the folder. The conditions
// test existence with lstat, so a dangling link counts as existing.
bool name_rule_matches(const FolderPlace& folder, const NameRule& rule);

// Whether the known place names real_path ("~" rows need the home real path).
bool path_rule_matches(const PathRule& rule, std::string_view real_path,
                       const std::optional<std::string>& home_real_path);

// Whether the file at path begins with expected: it is opened read-only and
// exactly that many bytes are read; a shorter file or any error gives false.
bool file_starts_with(const std::string& path, std::string_view expected);

// The label of the folder at path (the tree's absolute path: the root path as
// given, then names joined with "/"), whose path relative to the scan root is
// relative ("" for the root itself, whose real path is then the root's own).
std::optional<Label> label_folder_at(const LabelContext& context, std::string_view path,
                                     std::string_view relative);

// The label of one folder of a scanned tree or a saved scan.
template <class Source>
std::optional<Label> label_folder(const TreeRead<Source>& tree, const LabelContext& context,
                                  FolderId id) {
    tree.check_id(id);
    return label_folder_at(context, tree.absolute_path(id.index), tree.relative_path(id.index));
}

}  // namespace bramwex::core
