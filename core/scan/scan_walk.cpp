#include "core/scan/scan_walk.hpp"

#include <tbb/task_arena.h>

#include <cerrno>
#include <expected>
#include <string_view>

#include "core/base/fatal.hpp"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace bramwex::core {

namespace {

struct SeenLink {
    DeviceFile key;
    uint64_t allocated = 0;
    uint64_t reclaimable = 0;
    std::string name;
    bool counted = false;  // by this listing
};

// What one listing adds up while its entries arrive.
struct Listing {
    uint64_t own = 0;
    uint64_t reclaimable = 0;
    std::vector<ListedSubfolder> subfolders;
    std::vector<DeviceFile> first_seen;   // hard links this listing counted first
    std::vector<LinkMetAgain> met_again;  // hard links another listing counted first
    std::vector<LargeLink> large_links;   // hard links above the threshold, whoever counts them
    std::vector<SeenLink> links;          // every link met, when the context keeps holders
    std::vector<uint32_t> lone;           // single-link files, when the context keeps holders
    std::vector<LargeFileCandidate> candidates;  // single-link files above the threshold
};

void add_dir_entry(ScanContext& context, Listing& listing, const sys::DirEntry& entry) {
    if (entry.kind == sys::EntryKind::Folder) {
        listing.subfolders.push_back({std::string(entry.name_without_nul()), entry.allocated,
                                      entry.reclaimable, entry.device, entry.file_id, entry.status,
                                      entry.mount_root});
        return;
    }
    const DeviceFile key{entry.device, entry.file_id};
    // The threshold only rises, and only single-link files raise it: a file
    // not above it now is out of the largest files whatever name it goes by.
    const bool large =
        entry.allocated > context.builder.largest_files().threshold() && entry.allocated != 0;
    if (entry.link_count < 2) {
        if (context.link_holders != nullptr) {
            // Empty files too: one that gains a link and then grows through
            // it must be found in the folder holding its first link.
            listing.lone.push_back(file_fingerprint(key));
        }
        listing.own += entry.allocated;
        listing.reclaimable += entry.reclaimable;
        if (large) {
            listing.candidates.push_back({entry.allocated, std::string(entry.name_without_nul())});
        }
        return;
    }
    SeenLink* link = nullptr;
    if (context.link_holders != nullptr) {
        link = &listing.links.emplace_back(SeenLink{key, entry.allocated, entry.reclaimable,
                                                    std::string(entry.name_without_nul())});
    }
    // Which of its names the largest files list is known once the walk has
    // settled where it counts.
    if (large && context.links_met == nullptr) {
        listing.large_links.push_back(
            {key, kNoParent, entry.allocated, std::string(entry.name_without_nul())});
    }
    bool first = false;
    {
        std::lock_guard lock(context.hard_links_mutex);
        first = context.hard_links.try_emplace(key, kNoParent).second;
    }
    if (!first) {
        // Counted where it was listed first, until the walk's end settles
        // where it belongs.
        listing.met_again.push_back({key, kNoParent, entry.allocated, entry.reclaimable});
        return;
    }
    listing.first_seen.push_back(key);
    if (link != nullptr) {
        link->counted = true;
    }
    listing.own += entry.allocated;
    listing.reclaimable += entry.reclaimable;
}

void record_hard_links(ScanContext& context, uint32_t folder, Listing& listing) {
    if (listing.first_seen.empty() && listing.met_again.empty() && listing.links.empty() &&
        listing.lone.empty() && listing.large_links.empty()) {
        return;
    }
    std::lock_guard lock(context.hard_links_mutex);
    for (const DeviceFile& pair : listing.first_seen) {
        context.hard_links[pair] = folder;
    }
    LinkSightings& sightings = context.link_sightings;
    for (LinkMetAgain& again : listing.met_again) {
        if (context.hard_links[again.key] != folder) {  // else a second link in this folder
            again.folder = folder;
            sightings.met_again.push_back(again);
        }
    }
    for (LargeLink& link : listing.large_links) {
        link.folder = folder;
        sightings.large.push_back(std::move(link));
    }
    if (context.link_holders == nullptr) {
        return;
    }
    LinkHolders& holders = *context.link_holders;
    holders.lone.set(folder, listing.lone);
    for (SeenLink& link : listing.links) {
        if (context.links_met != nullptr) {
            context.links_met->push_back(link.key);
        }
        auto [at, fresh] = holders.files.try_emplace(link.key);
        LinkedFileHolders& file = at->second;
        if (fresh) {
            holders.unsettled.push_back(link.key);
        } else if (file.allocated != link.allocated && !file.resized) {
            // Two sightings disagree: the counting folder is listed again.
            file.resized = true;
            holders.unsettled.push_back(link.key);
        }
        if (fresh || link.counted) {
            file.allocated = link.allocated;
            file.reclaimable = link.reclaimable;
        }
        file.holders.push_back({folder, std::move(link.name)});
    }
}

// The pool's queues order everything a job's spawner did before the job
// runs, but they live in a library the thread sanitizer does not see into;
// these two calls state that hand-over for it and are nothing in other builds.
void job_handed_over([[maybe_unused]] const void* job) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(job));
#endif
}
void job_taken_over([[maybe_unused]] const void* job) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(job));
#endif
}

// A queued folder job. The pool calls it as const, once; the mutable members
// let it hand its share of the parent fd and its item on without copies.
struct FolderJob {
    FolderJob(ScanContext* context_, std::shared_ptr<SharedDirFd> parent_fd_, uint32_t parent_,
              FolderJobItem item_)
        : context(context_),
          parent_fd(std::move(parent_fd_)),
          parent(parent_),
          item(std::move(item_)) {}
    // The pool moves the job into its task before queueing it: the job is
    // complete and handed over from here on.
    FolderJob(FolderJob&& other) noexcept
        : context(other.context),
          parent_fd(std::move(other.parent_fd)),
          parent(other.parent),
          item(std::move(other.item)) {
        job_handed_over(this);
    }

    ScanContext* context;
    mutable std::shared_ptr<SharedDirFd> parent_fd;
    uint32_t parent;
    mutable FolderJobItem item;

    void operator()() const {
        job_taken_over(this);
        run_dir_job(*context, std::move(parent_fd), parent, std::move(item));
    }
};

// The process or the system is out of descriptors: the walk's own limit,
// not a property of the folder being opened.
bool short_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE;
}

// openat of a folder below at, tried again while descriptors are short,
// until an interrupt.
std::expected<int, int> open_below(ScanContext& context, int at, const std::string& name) {
    for (;;) {
        const auto opened =
            sys::open_subdir_at(at, std::string_view(name.c_str(), name.size() + 1));
        if (opened || !short_of_descriptors(opened.error()) || context.interrupted()) {
            return opened;
        }
        context.descriptors->wait_for_release();
    }
}

// Opens a job's folder within the walk's descriptor budget: below its
// parent's descriptor, or, when the parent could not stay open, name by name
// from the nearest anchor above, two descriptors at a time.
std::expected<BudgetedFd, int> open_folder(ScanContext& context, const SharedDirFd& parent,
                                           const std::string& name) {
    DescriptorBudget& budget = *context.descriptors;
    int at = parent.fd();
    std::vector<const std::string*> names;
    if (at < 0) {
        const FolderChain* link = parent.chain().get();
        for (; link != nullptr && link->anchor == nullptr; link = link->up.get()) {
            names.push_back(&link->name);
        }
        if (link == nullptr) {
            fatal("a folder without a descriptor has no anchor above it");
        }
        at = link->anchor->fd();
    }
    const int64_t needed = names.empty() ? 1 : 2;
    budget.take(needed);
    UniqueFd through;
    for (auto name_above = names.rbegin(); name_above != names.rend(); ++name_above) {
        const auto next = open_below(context, at, **name_above);
        if (!next) {
            budget.give(needed);
            return std::unexpected(next.error());
        }
        through.reset(*next);  // the one before closes once the next is open
        at = through.get();
    }
    const auto opened = open_below(context, at, name);
    through.reset();
    if (!opened) {
        budget.give(needed);
        return std::unexpected(opened.error());
    }
    if (needed > 1) {
        budget.give(needed - 1);  // the folder reopened on the way
    }
    return BudgetedFd(*opened, &budget);
}

uint32_t current_worker() {
    const int index = tbb::this_task_arena::current_thread_index();
    return index < 0 ? 0 : static_cast<uint32_t>(index);
}

}  // namespace

ScanContext::ScanContext(const GateSettings& gate_settings, std::string root_path, bool reclaimable,
                         uint64_t root_device_number, StopTest stop_test, sys::ReadMode mode)
    : gate(gate_settings),
      builder(std::move(root_path), reclaimable),
      root_device(root_device_number),
      stop(std::move(stop_test)),
      read_mode(mode) {}

ScanContext::ScanContext(const GateSettings& gate_settings, BuilderBase base, bool reclaimable,
                         uint64_t root_device_number, StopTest stop_test, sys::ReadMode mode)
    : gate(gate_settings),
      builder(std::move(base), reclaimable),
      root_device(root_device_number),
      stop(std::move(stop_test)),
      read_mode(mode) {}

void ScanContext::keep_failure(std::exception_ptr failure) {
    std::lock_guard lock(failure_mutex_);
    if (!failure_) {
        failure_ = std::move(failure);
    }
}

void ScanContext::rethrow_failure() {
    std::lock_guard lock(failure_mutex_);
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

bool ScanContext::should_stop() {
    if (interrupted() || (stop && stop())) {
        stopped.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

bool ScanContext::interrupted() {
    if (interrupt && interrupt()) {
        stopped.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

std::vector<FolderJobItem> subfolder_jobs(ScanContext& context, uint32_t parent,
                                          std::vector<ListedSubfolder>& subfolders,
                                          const FolderChain* chain) {
    std::vector<std::string_view> names;
    names.reserve(subfolders.size());
    for (const ListedSubfolder& subfolder : subfolders) {
        names.push_back(subfolder.name);
    }
    std::vector<uint32_t> name_ids(names.size());
    context.builder.intern_names(names, name_ids);

    std::vector<FolderJobItem> items;
    items.reserve(subfolders.size());
    for (size_t k = 0; k < subfolders.size(); ++k) {
        ListedSubfolder& subfolder = subfolders[k];
        if (add_other_device_folder(context.builder, parent, name_ids[k], subfolder.file_id,
                                    subfolder.status, subfolder.device, context.root_device)) {
            continue;
        }
        if (repeats_an_ancestor(chain, subfolder.mount_root, subfolder.device, subfolder.file_id)) {
            add_repeated_folder(context.builder, parent, name_ids[k], subfolder.file_id);
            continue;
        }
        items.push_back({std::move(subfolder.name), subfolder.allocated, subfolder.reclaimable,
                         subfolder.device, subfolder.file_id, name_ids[k], subfolder.mount_root});
    }
    return items;
}

void read_directory(ScanContext& context, BudgetedFd fd, std::shared_ptr<FolderChain> above,
                    uint32_t parent, FolderJobItem item) {
    Listing listing;
    listing.own = item.allocated;
    listing.reclaimable = item.reclaimable;
    const auto listed = sys::read_dir_entries(
        context.read_mode, fd.get(),
        [&](const sys::DirEntry& entry) { add_dir_entry(context, listing, entry); },
        [&] { return context.interrupted(); });

    FolderRecord record{listing.own, parent, item.name_id, static_cast<uint32_t>(item.file_id),
                        0,           0};
    if (!listed) {
        record.flags = kFlagUnreadable;
        record.error_number = static_cast<uint16_t>(listed.error());
    }
    const uint32_t index = context.builder.add_folder(record, listing.reclaimable);
    record_hard_links(context, index, listing);
    if (!listing.candidates.empty()) {
        context.builder.largest_files().merge(listing.candidates, index);
    }
    if (!listed || *listed == sys::Listed::Stopped || listing.subfolders.empty()) {
        return;
    }

    // The walk's root stays open as the anchor every reopening starts from.
    std::shared_ptr<SharedDirFd> anchor;
    if (!fd.counted()) {
        anchor = std::make_shared<SharedDirFd>(std::move(fd), nullptr);
    }
    const bool below_mount_root = item.mount_root || (above != nullptr && above->below_mount_root);
    auto chain =
        std::make_shared<FolderChain>(context.root_device, item.file_id, below_mount_root,
                                      std::move(above), std::move(item.name), std::move(anchor));
    std::vector<FolderJobItem> items =
        subfolder_jobs(context, index, listing.subfolders, chain.get());
    if (items.empty()) {
        return;
    }
    if (fd.counted() && !fd.keep()) {
        fd.reset();  // the subfolders are reached through the chain instead
    }
    spawn_dir_jobs(context, std::make_shared<SharedDirFd>(std::move(fd), std::move(chain)), index,
                   std::move(items));
}

void spawn_dir_jobs(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                    std::vector<FolderJobItem> items) {
    context.gate.add_pending(items.size());
    size_t spawned = 0;
    try {
        for (FolderJobItem& item : items) {
            context.scope->run(FolderJob{&context, parent_fd, parent, std::move(item)});
            ++spawned;
        }
    } catch (...) {
        // Jobs never queued never finish: without this the walk would wait forever.
        for (; spawned < items.size(); ++spawned) {
            context.gate.finish_one();
        }
        throw;
    }
}

Tree finish_walk(ScanContext& context, uint64_t event_id, bool stopped) {
    Tree tree = context.builder.finish(std::move(context.hard_links), event_id, stopped);
    settle_links_met_again(tree, context.link_sightings.met_again, context.link_holders);
    list_sighted_links(tree, std::move(context.link_sightings.large));
    return tree;
}

void run_dir_job(ScanContext& context, std::shared_ptr<SharedDirFd> parent_fd, uint32_t parent,
                 FolderJobItem item) {
    const uint32_t worker = current_worker();
    if (context.gate.must_park(worker)) {
        // Hand the job to a worker below the limit, then wait for the gate.
        context.scope->run(FolderJob{&context, std::move(parent_fd), parent, std::move(item)});
        context.gate.park(worker);
        return;
    }
    try {
        if (!context.should_stop()) {
            auto opened = open_folder(context, *parent_fd, item.name);
            std::shared_ptr<FolderChain> above = parent_fd->chain();
            parent_fd.reset();
            if (opened) {
                read_directory(context, std::move(*opened), std::move(above), parent,
                               std::move(item));
            } else if (!short_of_descriptors(opened.error())) {
                context.builder.add_folder(
                    {item.allocated, parent, item.name_id, static_cast<uint32_t>(item.file_id),
                     kFlagUnreadable, static_cast<uint16_t>(opened.error())},
                    item.reclaimable);
            }
            // Short of descriptors only when an interrupt ended the wait:
            // nothing is recorded, as for any folder a stop skips.
        }
    } catch (...) {
        context.keep_failure(std::current_exception());
    }
    parent_fd.reset();
    context.gate.finish_one();
}

}  // namespace bramwex::core
