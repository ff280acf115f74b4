#include "core/live/rescan.hpp"

#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "core/live/rescan_changes.hpp"
#include "core/live/rescan_compact.hpp"
#include "core/live/rescan_listing.hpp"
#include "core/live/rescan_paths.hpp"
#include "core/scan/link_holders.hpp"
#include "core/scan/link_settle.hpp"
#include "core/scan/linked_largest.hpp"
#include "core/scan/subtree_walk.hpp"

namespace bramwex::core {

namespace {

// Files of one listed folder that may enter the largest files.
struct ListedFiles {
    uint32_t folder = 0;
    std::vector<LargeFileCandidate> candidates;
};

// Everything one pass of a rescan works with. The tree it starts from stays
// as it was; what is brought up to date lives in `work` and `holders` (the
// rescan's own, not the caller's).
struct RescanContext {
    RescanContext(const Tree& tree_, LinkHolders& holders_, const ScanOptions& options_,
                  Pool& pool_)
        : tree(tree_),
          old_derived(tree_.compute_index()),
          old_count(static_cast<uint32_t>(tree_.folders.size())),
          children(tree_, old_derived),
          holders(holders_),
          options(options_),
          pool(pool_) {}

    const Tree& tree;
    const DerivedIndex& old_derived;
    const uint32_t old_count;
    ChildNames children;
    LinkHolders& holders;
    const ScanOptions& options;
    Pool& pool;

    std::vector<uint32_t> listing_set;  // ascending once collected
    std::vector<uint32_t> subtree_roots;
    RescanRoot root;
    // Listings take their descriptors from it; those kept for new subtrees
    // give them back when the walk ends, before the context goes.
    std::unique_ptr<DescriptorBudget> descriptors;
    uint64_t large_threshold = 0;
    Tree work;
    std::vector<NewSubtrees> new_subtrees;
    std::vector<std::pair<uint32_t, ListedSubfolder>> other_device;  // (parent, subfolder)
    std::vector<ListedFiles> listed_files;
    std::vector<DeviceFile> links_met;   // multi-link files listed or recounted in this pass
    std::vector<DeviceFile> links_lost;  // multi-link files a listing or removal lost a link of
    std::vector<DeviceFile> walk_links;  // multi-link files met in new subtrees
    bool stopped = false;                // the stop test cut a listing short
};

bool is_removed(const Tree& tree, uint32_t index) {
    return (tree.folders[index].flags & kFlagRemoved) != 0;
}

bool is_other_device(const Tree& tree, uint32_t index) {
    return (tree.folders[index].flags & kFlagOtherDevice) != 0;
}

// Whether a record and the folder now at its path are one folder. A folder
// moved away and another put in its place under the same name are told apart
// only by their identities; a record that carries none (0) is taken to be
// the folder of its name.
bool same_folder(const FolderRecord& record, uint64_t file_id) {
    return record.file_id == 0 || record.file_id == static_cast<uint32_t>(file_id);
}

bool listed_again(const RescanContext& context, uint32_t folder) {
    return std::binary_search(context.listing_set.begin(), context.listing_set.end(), folder);
}

// The listing set and the subtree roots; false when the root itself is to be
// scanned again.
bool collect_listing_set(RescanContext& context, const ChangeSets& changes) {
    const Tree& tree = context.tree;
    for (const uint32_t folder : changes.relist) {
        if (folder < context.old_count && !is_removed(tree, folder)) {
            context.listing_set.push_back(folder);
        }
    }
    for (const std::string& path : changes.changed) {
        const FoundFolder at = find_path(context.children, path);
        // A changed folder also shows in its parent's listing.
        if (at.found && at.folder != 0) {
            context.listing_set.push_back(tree.folders[at.folder].parent);
        }
        context.listing_set.push_back(at.folder);
    }
    for (const std::string& path : changes.must_scan) {
        const FoundFolder at = find_path(context.children, path);
        if (at.folder == 0) {
            return false;
        }
        context.listing_set.push_back(at.folder);
        context.subtree_roots.push_back(at.folder);
    }
    // A folder on another device is never descended into, so never listed.
    std::erase_if(context.listing_set,
                  [&](uint32_t folder) { return is_other_device(tree, folder); });
    std::sort(context.listing_set.begin(), context.listing_set.end());
    context.listing_set.erase(std::unique(context.listing_set.begin(), context.listing_set.end()),
                              context.listing_set.end());
    std::sort(context.subtree_roots.begin(), context.subtree_roots.end());
    return true;
}

// Marks a folder and everything below it removed. The whole subtree goes at
// once, so a later listing never counts a hard link against a folder that is
// already gone.
void remove_subtree(RescanContext& context, uint32_t top) {
    std::vector<uint32_t> stack{top};
    while (!stack.empty()) {
        const uint32_t folder = stack.back();
        stack.pop_back();
        context.work.mark_removed(folder);
        if (folder < context.old_count) {
            const auto below = context.old_derived.children_of(folder);
            stack.insert(stack.end(), below.begin(), below.end());
        }
    }
}

void remove_children(RescanContext& context, uint32_t folder) {
    for (const uint32_t child : context.old_derived.children_of(folder)) {
        if (!is_removed(context.work, child)) {
            remove_subtree(context, child);
        }
    }
}

// The records to update: a copy of the tree's folders and reclaimable sizes.
void start_work(RescanContext& context) {
    Tree& work = context.work;
    work.folders = context.tree.folders;
    work.names = context.tree.names;
    if (context.options.reclaimable) {
        work.reclaimable_sizes = context.tree.reclaimable_sizes;
        work.reclaimable_sizes.resize(context.old_count, 0);
    }
    const std::vector<FileRecord>& files = context.tree.files;
    if (files.size() >= LargestFiles::kCapacity) {
        // A full set of largest files keeps nothing below its smallest; a
        // file of the same size still reaches the heap, whose tie-break by
        // path keeps a rescan's list the same as a full scan's.
        const uint64_t smallest =
            std::min_element(files.begin(), files.end(), [](const auto& a, const auto& b) {
                return a.size < b.size;
            })->size;
        context.large_threshold = smallest == 0 ? 0 : smallest - 1;
    }
}

// Everything below a subtree root is scanned afresh.
void clear_subtree_roots(RescanContext& context) {
    for (const uint32_t top : context.subtree_roots) {
        if (!is_removed(context.work, top)) {
            remove_children(context, top);
        }
    }
}

std::vector<FolderListing> list_folders(RescanContext& context, std::span<const uint32_t> folders) {
    std::vector<ListingRequest> requests;
    for (const uint32_t folder : folders) {
        if (!is_removed(context.work, folder)) {
            requests.push_back({folder, folder_components(context.tree, folder)});
        }
    }
    std::vector<FolderListing> listings = list_folders_again(
        context.pool, context.root, requests, context.options.reclaimable, context.large_threshold,
        context.options.interrupt, *context.descriptors);
    // A listing cut short is dropped: its folder keeps its old record, as if
    // it had not been asked for, and the tree is marked stopped.
    for (const FolderListing& listing : listings) {
        if (listing.stopped) {
            context.stopped = true;
            std::erase(context.listing_set, listing.folder);
        }
    }
    std::erase_if(listings, [](const FolderListing& listing) { return listing.stopped; });
    return listings;
}

bool is_gone(const FolderListing& listing) {
    return listing.open_error == ENOENT || listing.open_error == ENOTDIR;
}

// The parents of gone folders that nothing lists yet. A folder is only seen
// gone when it is listed, so without its parent the tree would keep the
// folder's ancestors, themselves possibly gone, until they are listed.
std::vector<uint32_t> unlisted_parents_of_gone(const RescanContext& context,
                                               std::span<const FolderListing> listings) {
    std::vector<uint32_t> parents;
    for (const FolderListing& listing : listings) {
        if (listing.folder == 0 || !is_gone(listing)) {
            continue;
        }
        const uint32_t parent = context.tree.folders[listing.folder].parent;
        if (!listed_again(context, parent) && !is_removed(context.work, parent)) {
            parents.push_back(parent);
        }
    }
    std::sort(parents.begin(), parents.end());
    parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
    return parents;
}

// Lists the listing set, then climbs from every gone folder to the nearest
// ancestor that still exists, listing each on the way: that ancestor's
// listing removes the whole gone chain in this one pass. The listings come
// back in ascending folder order, as the listing set is.
std::vector<FolderListing> list_again(RescanContext& context) {
    std::vector<FolderListing> listings = list_folders(context, context.listing_set);
    std::span<const FolderListing> latest = listings;
    bool climbed = false;
    for (;;) {
        const std::vector<uint32_t> parents = unlisted_parents_of_gone(context, latest);
        if (parents.empty()) {
            break;
        }
        climbed = true;
        std::vector<uint32_t> merged;
        std::merge(context.listing_set.begin(), context.listing_set.end(), parents.begin(),
                   parents.end(), std::back_inserter(merged));
        context.listing_set = std::move(merged);
        std::vector<FolderListing> more = list_folders(context, parents);
        const size_t first = listings.size();
        std::move(more.begin(), more.end(), std::back_inserter(listings));
        latest = std::span<const FolderListing>(listings).subspan(first);
    }
    if (climbed) {
        std::sort(
            listings.begin(), listings.end(),
            [](const FolderListing& a, const FolderListing& b) { return a.folder < b.folder; });
    }
    return listings;
}

// The hard-link table and the largest files are copied from the tree.
// Links counted by a folder listed again are counted afresh by whichever
// listing meets them first, and that folder's files come from its listing.
void take_over_links_and_files(RescanContext& context) {
    Tree& work = context.work;
    work.folder_index = context.tree.folder_index;
    absl::erase_if(work.folder_index,
                   [&](const auto& entry) { return listed_again(context, entry.second); });
    work.files = context.tree.files;
    std::erase_if(work.files,
                  [&](const FileRecord& file) { return listed_again(context, file.folder); });
}

// A multi-link file counts in the first listed folder that meets it, for
// now: the pass ends by settling it in its first folder in name order.
bool count_link(RescanContext& context, uint32_t folder, const LinkedFile& file) {
    auto [entry, fresh] = context.work.folder_index.try_emplace(file.key, folder);
    if (!fresh) {
        const uint32_t holder = entry->second;
        if (holder < context.work.folders.size() && !is_removed(context.work, holder)) {
            return false;
        }
        entry->second = folder;
    }
    return true;
}

void set_record(RescanContext& context, uint32_t folder, uint64_t own, uint64_t reclaimable,
                uint16_t flags, int error_number) {
    FolderRecord& record = context.work.folders[folder];
    record.own = own;
    record.flags = flags;
    record.error_number = static_cast<uint16_t>(error_number);
    if (folder < context.work.reclaimable_sizes.size()) {
        context.work.reclaimable_sizes[folder] = reclaimable;
    }
}

// The folders holding each link, once every listing is applied: a folder
// listed again holds what its listing met, a removed one holds nothing. A
// file met with several links for the first time is unsettled: a folder not
// listed may count it as a single-link file.
void update_link_holders(RescanContext& context, const std::vector<FolderListing>& listings) {
    const Tree& work = context.work;
    LinkHolders& holders = context.holders;
    for (auto& [key, file] : holders.files) {
        const size_t held = file.holders.size();
        std::erase_if(file.holders, [&](const LinkHolder& holder) {
            return listed_again(context, holder.folder) || is_removed(work, holder.folder);
        });
        if (file.holders.size() != held) {
            context.links_lost.push_back(key);
        }
    }
    for (const FolderListing& listing : listings) {
        if (listing.open_error != 0 || listing.other_device || is_removed(work, listing.folder)) {
            holders.lone.set(listing.folder, {});
            continue;
        }
        holders.lone.set(listing.folder, listing.lone);
        for (const LinkedFile& link : listing.linked) {
            auto [at, fresh] = holders.files.try_emplace(link.key);
            if (fresh) {
                at->second.allocated = link.allocated;
                at->second.reclaimable = link.reclaimable;
                holders.unsettled.push_back(link.key);
            }
            at->second.holders.push_back({listing.folder, link.name});
        }
    }
    absl::erase_if(holders.files, [](const auto& entry) { return entry.second.holders.empty(); });
}

// A link no folder counts any more (its counting folder lost it or went,
// and no listing met it) is counted in a folder that still holds one, at
// the size the file has now: it may have changed through the link that
// went, and the folder holding the one left is not listed.
void count_orphaned_links(RescanContext& context) {
    Tree& work = context.work;
    for (auto& [key, file] : context.holders.files) {
        const auto held = work.folder_index.find(key);
        if (held != work.folder_index.end() && !is_removed(work, held->second)) {
            continue;
        }
        // Any holder will do: the pass ends by settling the file where it
        // belongs.
        std::optional<LinkedFile> now;
        const LinkHolder* holder = nullptr;
        for (const LinkHolder& candidate : file.holders) {
            now = stat_link_again(context.root, folder_components(context.tree, candidate.folder),
                                  candidate.name, key);
            if (now) {
                holder = &candidate;
                break;
            }
        }
        if (holder == nullptr) {
            // Every link left went as well: the listings of their folders,
            // which the event stream names, drop them.
            if (held != work.folder_index.end()) {
                work.folder_index.erase(held);
            }
            continue;
        }
        file.allocated = now->allocated;
        if (context.root.read_mode.reclaimable != sys::ReclaimableMode::Private) {
            file.reclaimable = context.options.reclaimable ? now->reclaimable : 0;
        }
        context.links_met.push_back(key);
        work.folder_index[key] = holder->folder;
        work.folders[holder->folder].own += file.allocated;
        if (holder->folder < work.reclaimable_sizes.size()) {
            work.reclaimable_sizes[holder->folder] += file.reclaimable;
        }
    }
}

// A file may have been written through a link before it went; the folder
// still counting it is not listed, so its entry says whether it has another
// size now. If so, that folder is listed again.
void recheck_lost_links(RescanContext& context) {
    const Tree& work = context.work;
    for (const DeviceFile& key : context.links_lost) {
        const auto file = context.holders.files.find(key);
        const auto counted = work.folder_index.find(key);
        if (file == context.holders.files.end() || file->second.resized ||
            counted == work.folder_index.end() || is_removed(work, counted->second) ||
            listed_again(context, counted->second)) {
            continue;
        }
        const uint32_t folder = counted->second;
        const auto holder = std::ranges::find(file->second.holders, folder, &LinkHolder::folder);
        if (holder == file->second.holders.end()) {
            continue;
        }
        const std::optional<LinkedFile> now = stat_link_again(
            context.root, folder_components(context.tree, folder), holder->name, key);
        if (!now || now->allocated != file->second.allocated) {
            file->second.resized = true;
            context.holders.unsettled.push_back(key);
        }
    }
}

// Pairs the listed subfolders with the folder's old children by name: a
// match keeps its record and subtree; the rest are new; old children left
// over are gone. A match must agree on being on another device, and on the
// root's device be the same folder, else the old one goes and the listed one
// is taken as new: deployments and build tools replace a folder by one with
// subfolders of the same names, whose subtree must not keep the old records.
// A folder that was itself replaced has only new children.
void pair_children(RescanContext& context, FolderListing& listing, bool replaced) {
    const uint32_t folder = listing.folder;
    const bool all_new = replaced || std::binary_search(context.subtree_roots.begin(),
                                                        context.subtree_roots.end(), folder);
    absl::flat_hash_set<uint32_t> kept;
    NewSubtrees fresh;
    fresh.parent = folder;
    for (ListedSubfolder& subfolder : listing.subfolders) {
        const bool other =
            subfolder.status == sys::kStatusMountPoint || subfolder.device != context.root.device;
        // A folder that repeats an ancestor was recorded as not entered, like
        // one on another device: its record matches as such.
        const bool repeats = listing.ancestors.repeated_by(subfolder.mount_root,
                                                           {subfolder.device, subfolder.file_id});
        if (!all_new) {
            const auto old = context.children.find(folder, subfolder.name);
            if (old && !is_removed(context.work, *old) &&
                is_other_device(context.work, *old) == (other || repeats) &&
                (is_other_device(context.work, *old) ||
                 same_folder(context.work.folders[*old], subfolder.file_id))) {
                kept.insert(*old);
                continue;
            }
        }
        if (other) {
            context.other_device.emplace_back(folder, std::move(subfolder));
        } else {
            fresh.subfolders.push_back(std::move(subfolder));
        }
    }
    for (const uint32_t child : context.old_derived.children_of(folder)) {
        if (!kept.contains(child) && !is_removed(context.work, child)) {
            remove_subtree(context, child);
        }
    }
    if (!fresh.subfolders.empty()) {
        fresh.dir = std::move(listing.dir);
        if (!fresh.dir) {
            fresh.root = context.root.dir;
            fresh.components = folder_components(context.tree, folder);
        }
        fresh.ancestors = std::move(listing.ancestors);
        context.new_subtrees.push_back(std::move(fresh));
    }
}

// One listing into the records, in ascending index order: a folder's
// listing is applied before its children's, so a folder its parent found
// gone is skipped.
void apply_listing(RescanContext& context, FolderListing& listing) {
    const uint32_t folder = listing.folder;
    if (is_removed(context.work, folder)) {
        return;
    }
    if (is_gone(listing)) {
        remove_subtree(context, folder);
        return;
    }
    if (listing.open_error != 0) {
        remove_children(context, folder);
        set_record(context, folder, listing.own, listing.reclaimable, kFlagUnreadable,
                   listing.open_error);
        return;
    }
    if (listing.other_device) {
        remove_children(context, folder);
        set_record(context, folder, 0, 0, kFlagOtherDevice, 0);
        return;
    }
    FolderRecord& record = context.work.folders[folder];
    const bool replaced = !same_folder(record, listing.file_id);
    record.file_id = static_cast<uint32_t>(listing.file_id);
    set_record(context, folder, listing.own, listing.reclaimable,
               listing.list_error ? kFlagUnreadable : 0, listing.list_error);
    // An unreadable folder has no children.
    pair_children(context, listing, replaced);
}

// Multi-link files, once every listing is applied: a link held by a folder
// that went in this rescan is free again, wherever that folder was listed.
void count_links(RescanContext& context, FolderListing& listing) {
    const uint32_t folder = listing.folder;
    if (listing.open_error != 0 || listing.other_device || is_removed(context.work, folder)) {
        return;
    }
    for (LinkedFile& file : listing.linked) {
        context.links_met.push_back(file.key);
        const auto held = context.holders.files.find(file.key);
        if (!count_link(context, folder, file)) {
            // Grown or shrunk through a link another folder counts: that
            // folder is listed again.
            if (held != context.holders.files.end() && held->second.allocated != file.allocated &&
                !held->second.resized) {
                held->second.resized = true;
                context.holders.unsettled.push_back(file.key);
            }
            continue;
        }
        if (held != context.holders.files.end()) {
            held->second.allocated = file.allocated;
            held->second.reclaimable = file.reclaimable;
        }
        context.work.folders[folder].own += file.allocated;
        if (folder < context.work.reclaimable_sizes.size()) {
            context.work.reclaimable_sizes[folder] += file.reclaimable;
        }
    }
    if (!listing.candidates.empty()) {
        context.listed_files.push_back({folder, std::move(listing.candidates)});
    }
}

// The kept largest files, then those of the listings, under the heap's rule.
void seed_largest_files(RescanContext& context, LargestFiles& largest) {
    largest.merge(context.work.files);
    context.work.files.clear();
    for (ListedFiles& listed : context.listed_files) {
        largest.merge(listed.candidates, listed.folder);
    }
}

// The new other-device records of the listings.
void add_other_device_folders(RescanContext& context, TreeBuilder& builder) {
    std::vector<std::string_view> names;
    for (const auto& [parent, subfolder] : context.other_device) {
        names.push_back(subfolder.name);
    }
    std::vector<uint32_t> ids(names.size());
    builder.intern_names(names, ids);
    for (size_t k = 0; k < context.other_device.size(); ++k) {
        const auto& [parent, subfolder] = context.other_device[k];
        add_other_device_folder(builder, parent, ids[k], subfolder.file_id, subfolder.status,
                                subfolder.device, context.root.device);
    }
}

// New other-device records and the scans of new subtrees, on the pool;
// returns the tree they make.
Result<Tree> build_updated_tree(RescanContext& context) {
    Tree& work = context.work;
    SubtreeWalk walk{
        .base = {std::move(work.folders), std::move(work.reclaimable_sizes), work.names,
                 context.tree.generation},
        .hard_links = std::move(work.folder_index),
        .link_holders = &context.holders,
        .links_met = &context.walk_links,
        .root_device = context.root.device,
        .read_mode = context.root.read_mode,
        .reclaimable = context.options.reclaimable,
        .stop = context.options.stop,
        .interrupt = context.options.interrupt,
        .event_id = context.tree.event_id,
        .stopped = context.tree.stopped || context.stopped,
    };
    return walk_new_subtrees(context.pool, std::move(walk), std::move(context.new_subtrees),
                             [&](TreeBuilder& builder) {
                                 seed_largest_files(context, builder.largest_files());
                                 add_other_device_folders(context, builder);
                             });
}

// One pass: lists the folders the changes name, scans new subtrees, and
// returns the tree they make (removed folders kept); none when the root is
// to be scanned again. holders is brought up to date in place.
Result<std::optional<Tree>> rescan_pass(const Tree& tree, LinkHolders& holders,
                                        const ChangeSets& changes, const ScanOptions& options,
                                        Pool& pool) {
    RescanContext context(tree, holders, options, pool);
    if (!collect_listing_set(context, changes)) {
        return std::nullopt;
    }

    raise_open_file_limit();
    auto root = open_rescan_root(tree.name_at(0), options);
    if (!root) {
        return std::unexpected(root.error());
    }
    context.root = std::move(*root);
    context.descriptors = std::make_unique<DescriptorBudget>(DescriptorBudget::from_limit());

    start_work(context);
    clear_subtree_roots(context);
    std::vector<FolderListing> listings = list_again(context);
    if (!listings.empty() && listings.front().folder == 0 && listings.front().open_error != 0) {
        // The root went between opening it and listing it again.
        return std::unexpected(
            Error::os(listings.front().open_error, std::string(tree.name_at(0))));
    }
    take_over_links_and_files(context);
    for (FolderListing& listing : listings) {
        apply_listing(context, listing);
    }
    update_link_holders(context, listings);
    for (FolderListing& listing : listings) {
        count_links(context, listing);
    }
    listings.clear();  // closes the descriptors no new subtree needs
    context.work.prune_removed();
    count_orphaned_links(context);
    recheck_lost_links(context);
    // Files met here are listed afresh once their counting is settled;
    // meanwhile their old entries take no place. A file that lost a link
    // needs nothing more: where its counting folder was listed or went, it
    // was met again or recounted as an orphan, and elsewhere its entry stands.
    std::vector<DeviceFile> relisted = context.links_met;
    drop_held_links(context.work.files, holders, relisted);

    auto built = build_updated_tree(context);
    if (!built) {
        return std::unexpected(std::move(built.error()));
    }
    // Files this pass counted afresh go where a full scan would count them,
    // so listing a folder again never moves a link when nothing changed.
    settle_held_links(*built, holders, context.links_met);
    relisted.insert(relisted.end(), context.walk_links.begin(), context.walk_links.end());
    list_held_links(*built, holders, relisted);
    return std::move(*built);
}

// The folders to list again so that every linked file the last pass left
// unsettled is counted once, at the size it has: those that may count a file
// that gained links as a single-link file, and those counting a file met at
// another size through another link.
std::vector<uint32_t> unsettled_folders(const Tree& tree, LinkHolders& holders) {
    absl::flat_hash_set<uint32_t> fingerprints;
    std::vector<uint32_t> folders;
    for (const DeviceFile& key : holders.unsettled) {
        const auto file = holders.files.find(key);
        if (file == holders.files.end()) {
            continue;
        }
        fingerprints.insert(file_fingerprint(key));
        if (std::exchange(file->second.resized, false)) {
            if (const auto counted = tree.folder_index.find(key);
                counted != tree.folder_index.end()) {
                folders.push_back(counted->second);
            }
        }
    }
    holders.unsettled.clear();
    const std::vector<uint32_t> lone = holders.lone.folders_holding(fingerprints);
    folders.insert(folders.end(), lone.begin(), lone.end());
    std::erase_if(folders, [&](uint32_t folder) {
        return folder >= tree.folders.size() || is_removed(tree, folder);
    });
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

// The caller's single-link files are changed in place, not copied (they are
// one entry a file); until the rescan succeeds they can be rolled back.
class LoneFilesLoan {
  public:
    LoneFilesLoan(LinkHolders& owner, LinkHolders& borrower) : owner_(owner), borrower_(borrower) {
        borrower_.lone = std::move(owner_.lone);
        borrower_.lone.mark();
    }
    LoneFilesLoan(const LoneFilesLoan&) = delete;
    LoneFilesLoan& operator=(const LoneFilesLoan&) = delete;
    ~LoneFilesLoan() {
        if (!kept_) {
            borrower_.lone.roll_back();
            owner_.lone = std::move(borrower_.lone);
        }
    }
    void keep() {
        borrower_.lone.keep();
        kept_ = true;
    }

  private:
    LinkHolders& owner_;
    LinkHolders& borrower_;
    bool kept_ = false;
};

// Passes after the first, at most: a file changing all the while must not
// keep a rescan going.
constexpr int kSettlingPasses = 4;

}  // namespace

Result<RescanOutcome> rescan_folders(Tree& tree, LinkHolders& link_holders,
                                     const ChangeSets& changes, const ScanOptions& options,
                                     Pool& pool) {
    if (changes.empty()) {
        return RescanOutcome{};
    }
    LinkHolders holders;
    holders.files = link_holders.files;
    holders.unsettled = link_holders.unsettled;
    LoneFilesLoan loan(link_holders, holders);
    auto pass = rescan_pass(tree, holders, changes, options, pool);
    if (!pass) {
        return std::unexpected(std::move(pass.error()));
    }
    if (!*pass) {
        return RescanOutcome{RescanOutcome::Kind::RootMustBeScanned, {}};
    }
    Tree updated = std::move(**pass);
    for (int k = 0; k < kSettlingPasses; ++k) {
        ChangeSets settling;
        settling.relist = unsettled_folders(updated, holders);
        if (settling.empty()) {
            break;
        }
        auto next = rescan_pass(updated, holders, settling, options, pool);
        if (!next) {
            return std::unexpected(std::move(next.error()));
        }
        updated = std::move(**next);
    }
    std::vector<FolderChange> found = gather_changes(tree, updated);
    sort_and_merge_changes(found);
    if (mostly_removed(updated)) {
        updated = compact_tree(updated, holders);
    } else if (holders.lone.untidy()) {
        holders.lone = holders.lone.tidied({});
    }
    loan.keep();
    tree = std::move(updated);
    link_holders = std::move(holders);
    if (found.empty()) {
        return RescanOutcome{};
    }
    return RescanOutcome{RescanOutcome::Kind::Changes, std::move(found)};
}

}  // namespace bramwex::core
