// Listing folders of a followed tree again, below the rescan's root
// descriptor. A listing only gathers what the folder holds now; deciding what
// it means for the tree (pairing children, hard links) is left to the caller,
// so listings can run on the pool in any order. Each listing is written by one
// worker and read by the caller after the pool has finished them all.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/scan/descriptor_budget.hpp"
#include "core/scan/scan.hpp"
#include "core/scan/scan_options.hpp"
#include "core/scan/subtree_walk.hpp"
#include "core/sys/dirread.hpp"
#include "core/tree/largest_files.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::core {

// The root of one rescan, opened once; every folder is reopened below it.
struct RescanRoot {
    std::shared_ptr<SharedDirFd> dir;
    uint64_t device = 0;
    sys::ReadMode read_mode;
};

// Opens and examines the root as a full scan does (name 0 of the tree is its
// path; a path with a NUL fails with EINVAL).
Result<RescanRoot> open_rescan_root(std::string_view path, const ScanOptions& options);

// A file with two or more links: whether it counts here depends on the tree's
// hard-link table, which only the caller may consult.
struct LinkedFile {
    DeviceFile key;
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    std::string name;  // without the NUL
};

struct FolderListing {
    uint32_t folder = 0;
    int open_error = 0;         // errno of reopening the folder; 0 when it opened
    int list_error = 0;         // errno of a listing that failed part-way
    bool stopped = false;       // the interrupt ended the listing part-way; nothing else is set
    bool other_device = false;  // the folder now lies on another device
    uint64_t file_id = 0;       // the folder's own, once opened: tells a folder put in its place
    uint64_t own = 0;           // its directory allocation plus its single-link files
    uint64_t reclaimable = 0;
    std::vector<ListedSubfolder> subfolders;
    std::vector<LinkedFile> linked;
    std::vector<uint32_t> lone;                  // fingerprints of the single-link files
    std::vector<LargeFileCandidate> candidates;  // single-link files above the threshold
    std::shared_ptr<SharedDirFd> dir;            // held while new subfolders may need it
    FolderPath ancestors;                        // the root down to the folder itself
};

// What a listing needs to know of the folder it lists.
struct ListingRequest {
    uint32_t folder = 0;
    std::vector<std::string> components;  // from the root down (none for the root)
};

// Reopens the folder below the root and lists it. When it cannot be opened
// for another reason than having gone, own (and reclaimable) become the
// folder's own allocation. Files of size not above large_threshold are not
// candidates. The interrupt is asked between batches of entries, as a scan
// asks it, so an interrupt lands soon even in a folder of many thousands.
// The folder's descriptor is taken from budget, waiting while none is free,
// and kept for new subfolders only while the budget lets it stay open.
FolderListing list_folder_again(const RescanRoot& root, const ListingRequest& request,
                                bool reclaimable, uint64_t large_threshold,
                                const StopTest& interrupt, DescriptorBudget& budget);

// The file a link names now: its entry in the folder (reached below the root
// through components) examined without following a link. None when the entry
// is gone or is no longer that file.
std::optional<LinkedFile> stat_link_again(const RescanRoot& root,
                                          std::span<const std::string> components,
                                          const std::string& name, const DeviceFile& key);

// All requests on the pool; the result has one listing per request, in order.
std::vector<FolderListing> list_folders_again(Pool& pool, const RescanRoot& root,
                                              std::span<const ListingRequest> requests,
                                              bool reclaimable, uint64_t large_threshold,
                                              const StopTest& interrupt, DescriptorBudget& budget);

}  // namespace bramwex::core
