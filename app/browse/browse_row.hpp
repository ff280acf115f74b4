// One row of a browsed folder (a subfolder from the tree or a file read from
// disk) and one file as the folder listing read it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/labels/labels.hpp"
#include "core/tree/records.hpp"

namespace bramwex::app {

enum class RowKind : uint32_t { Folder = 0, File = 1 };

struct BrowseRow {
    std::string_view label_text;  // the rule tables' static text; empty without a label
    std::string_view label_why;
    uint8_t tier = core::kNoLabelTier;
    uint64_t size = 0;         // a folder's total, a file's allocated bytes
    uint64_t reclaimable = 0;  // a folder's reclaimable total, a file's reclaimable bytes
    int64_t change = 0;        // against the baseline; 0 when none applies
    RowKind kind = RowKind::File;
    uint32_t index = 0;       // folder index, or position among the listed files
    uint32_t generation = 0;  // of a folder row's id

    core::FolderId folder() const { return {index, generation}; }
    bool is_folder() const { return kind == RowKind::Folder; }
    friend bool operator==(const BrowseRow&, const BrowseRow&) = default;
};

struct ListedFile {
    std::string name;  // without the NUL
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
};

}  // namespace bramwex::app
