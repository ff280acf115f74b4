// Bringing a followed tree up to date after changes on disk: only the folders
// that changed are listed again, everything else keeps its records, and what
// changed is reported as per-folder byte deltas. Runs on the live thread; the
// listings and the scans of new subtrees run on the live loop's pool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/scan.hpp"
#include "core/scan/scan_options.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// What changed, as the live loop learnt it.
struct ChangeSets {
    std::vector<std::string> changed;    // relative to the root: a file or folder that changed
    std::vector<std::string> must_scan;  // relative to the root: whole subtrees to scan again
    std::vector<uint32_t> relist;        // folder indices of the current tree to list again

    bool empty() const { return changed.empty() && must_scan.empty() && relist.empty(); }
};

// One entry of a change list.
struct FolderChange {
    std::string path;   // absolute path of the folder
    int64_t delta = 0;  // signed change of its bytes
    friend bool operator==(const FolderChange&, const FolderChange&) = default;
};

struct RescanOutcome {
    enum class Kind {
        NoChanges,          // nothing to do, or no folder's bytes differ
        Changes,            // changes is not empty
        RootMustBeScanned,  // a subtree to scan again is the root; the tree is untouched
    };
    Kind kind = Kind::NoChanges;
    std::vector<FolderChange> changes;  // sorted by path component by component
};

// Lists the affected folders again and replaces tree with the updated tree,
// and link_holders (the live scan's, kept beside the tree) with its own. A
// file that gained links, or changed size through a link another folder
// counts, is heard of only where that link is: the folders that may count it
// are then listed too, so that it counts once and at its size, as in a full
// scan.
// Folders keep their indices, and the tree its generation, unless removed
// folders came to be more than half of it: then it is rebuilt without them
// under a new generation. An error or an exception (a fatal error of a job,
// memory running out) leaves both as they were. options.stop and
// options.interrupt stop the scans of new subtrees like any walk; only the
// interrupt cuts the listings again short.
Result<RescanOutcome> rescan_folders(Tree& tree, LinkHolders& link_holders,
                                     const ChangeSets& changes, const ScanOptions& options,
                                     Pool& pool);

}  // namespace bramwex::core
