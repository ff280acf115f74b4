#include "core/live/rescan_listing.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/eintr.hpp"
#include "core/base/fd.hpp"
#include "core/scan/link_holders.hpp"

namespace bramwex::core {

namespace {

// The directory allocation of the folder itself, read below its parent
// without following a link: what a scan counts for a folder it cannot open.
uint64_t allocation_below_parent(const RescanRoot& root, const ListingRequest& request) {
    if (request.components.empty()) {
        return 0;
    }
    const std::span<const std::string> parents(request.components.data(),
                                               request.components.size() - 1);
    const auto opened = open_dir_components(root.dir->fd(), parents);
    if (!opened) {
        return 0;
    }
    const UniqueFd parent(*opened);
    struct stat st;
    const int rc = sys::retry_on_eintr([&] {
        return ::fstatat(parent.get(), request.components.back().c_str(), &st, AT_SYMLINK_NOFOLLOW);
    });
    return rc == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

void add_entry(FolderListing& listing, const sys::DirEntry& entry, uint64_t large_threshold) {
    const std::string_view name = entry.name_without_nul();
    if (entry.kind == sys::EntryKind::Folder) {
        listing.subfolders.push_back({std::string(name), entry.allocated, entry.reclaimable,
                                      entry.device, entry.file_id, entry.status, entry.mount_root});
        return;
    }
    if (entry.link_count >= 2) {
        listing.linked.push_back(
            {{entry.device, entry.file_id}, entry.allocated, entry.reclaimable, std::string(name)});
        return;
    }
    // Empty files too: one that gains a link and then grows through it must
    // be found in the folder holding its first link.
    listing.lone.push_back(file_fingerprint({entry.device, entry.file_id}));
    listing.own += entry.allocated;
    listing.reclaimable += entry.reclaimable;
    if (entry.allocated > large_threshold) {
        listing.candidates.push_back({entry.allocated, std::string(name)});
    }
}

}  // namespace

Result<RescanRoot> open_rescan_root(std::string_view path, const ScanOptions& options) {
    const auto prepared = prepare_root(path, options);
    if (!prepared) {
        return std::unexpected(prepared.error());
    }
    RescanRoot root;
    root.dir = std::make_shared<SharedDirFd>(prepared->fd);
    root.device = prepared->stat.device;
    root.read_mode = prepared->read_mode;
    return root;
}

FolderListing list_folder_again(const RescanRoot& root, const ListingRequest& request,
                                bool reclaimable, uint64_t large_threshold,
                                const StopTest& interrupt, DescriptorBudget& budget) {
    FolderListing listing;
    listing.folder = request.folder;
    // Reopening name by name holds two descriptors at once.
    budget.take(2);
    std::expected<int, int> opened;
    for (;;) {
        listing.ancestors = {};
        opened = open_dir_components(root.dir->fd(), request.components, &listing.ancestors);
        // Out of descriptors says nothing of the folder: wait and try again.
        if (opened || (opened.error() != EMFILE && opened.error() != ENFILE) ||
            (interrupt && interrupt())) {
            break;
        }
        budget.wait_for_release();
    }
    if (!opened) {
        listing.open_error = opened.error();
        if (listing.open_error != ENOENT && listing.open_error != ENOTDIR) {
            listing.own = allocation_below_parent(root, request);
            listing.reclaimable = reclaimable ? listing.own : 0;
        }
        budget.give(2);
        return listing;
    }
    budget.give(1);
    BudgetedFd dir(*opened, &budget);
    const int fd = dir.get();
    const auto stat = sys::stat_fd(fd);
    if (!stat) {
        listing.open_error = stat.error();
        return listing;
    }
    if (request.folder != 0 && stat->device != root.device) {
        listing.other_device = true;
        return listing;
    }
    // Below the root everything listed lies on the root's device, so the
    // root's reader serves, as it does in a full scan.
    const sys::ReadMode mode = root.read_mode;
    listing.file_id = stat->file_id;
    listing.own = stat->allocated;
    // Where the folder's own entry would have come from its parent's listing,
    // its reclaimable share is its allocation whenever entries carry one; the
    // root starts from its allocation like a full scan.
    if (reclaimable && (request.folder == 0 || mode.reclaimable != sys::ReclaimableMode::Off)) {
        listing.reclaimable = stat->allocated;
    }
    const auto listed = sys::read_dir_entries(
        mode, fd, [&](const sys::DirEntry& entry) { add_entry(listing, entry, large_threshold); },
        [&] { return interrupt && interrupt(); });
    if (listed && *listed == sys::Listed::Stopped) {
        FolderListing cut;
        cut.folder = request.folder;
        cut.stopped = true;
        return cut;
    }
    if (!listed) {
        listing.list_error = listed.error();
        listing.subfolders.clear();
    } else if (!listing.subfolders.empty() && dir.keep()) {
        // Else new subfolders are reached by name from the root.
        listing.dir = std::make_shared<SharedDirFd>(std::move(dir), nullptr);
    }
    return listing;
}

std::optional<LinkedFile> stat_link_again(const RescanRoot& root,
                                          std::span<const std::string> components,
                                          const std::string& name, const DeviceFile& key) {
    const auto opened = open_dir_components(root.dir->fd(), components);
    if (!opened) {
        return std::nullopt;
    }
    const UniqueFd folder(*opened);
    struct stat st;
    const int rc = sys::retry_on_eintr(
        [&] { return ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW); });
    if (rc != 0 || S_ISDIR(st.st_mode) ||
        DeviceFile{sys::widen_device(st.st_dev), static_cast<uint64_t>(st.st_ino)} != key) {
        return std::nullopt;
    }
    const auto allocated = static_cast<uint64_t>(st.st_blocks) * 512;
    // Only where entries carry their allocation as reclaimable can one entry
    // be examined alone.
    const uint64_t reclaimable =
        root.read_mode.reclaimable == sys::ReclaimableMode::Allocated ? allocated : 0;
    return LinkedFile{key, allocated, reclaimable, name};
}

std::vector<FolderListing> list_folders_again(Pool& pool, const RescanRoot& root,
                                              std::span<const ListingRequest> requests,
                                              bool reclaimable, uint64_t large_threshold,
                                              const StopTest& interrupt, DescriptorBudget& budget) {
    std::vector<FolderListing> listings(requests.size());
    for_each_on_pool(pool, requests.size(), [&](size_t k) {
        listings[k] =
            list_folder_again(root, requests[k], reclaimable, large_threshold, interrupt, budget);
    });
    return listings;
}

}  // namespace bramwex::core
