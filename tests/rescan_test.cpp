#include "core/live/rescan.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/live/rescan_changes.hpp"
#include "core/live/rescan_paths.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using test::make_dirs;
using test::TempDir;
using test::write_file;

Tree scan_ok(const std::string& path, const ScanOptions& options = {}) {
    auto tree = scan_tree(path, options);
    if (!tree) {
        ADD_FAILURE() << "scan " << path << ": " << tree.error().to_string();
        return Tree{};
    }
    return std::move(*tree);
}

Pool pool_of(std::optional<uint32_t> threads) {
    auto pool = build_pool(threads);
    if (!pool) {
        ADD_FAILURE() << pool.error().to_string();
    }
    return std::move(*pool);
}

// A tree as live following keeps it: scanned with the folders holding each
// link, which rescans keep up to date.
struct Followed {
    Tree tree;
    LinkHolders links;
};

Followed scan_followed(const std::string& path, const ScanOptions& options = {}) {
    Followed followed;
    ScanHooks hooks;
    hooks.link_holders = &followed.links;
    const Scanner scanner{std::make_shared<Pool>(pool_of(options.threads)), options};
    auto tree = scanner.scan(path, hooks);
    if (!tree) {
        ADD_FAILURE() << "scan " << path << ": " << tree.error().to_string();
        return {};
    }
    followed.tree = std::move(*tree);
    return followed;
}

RescanOutcome rescan_ok(Followed& followed, const ChangeSets& changes, Pool& pool,
                        const ScanOptions& options = {}) {
    auto outcome = rescan_folders(followed.tree, followed.links, changes, options, pool);
    if (!outcome) {
        ADD_FAILURE() << "rescan: " << outcome.error().to_string();
        return {};
    }
    return std::move(*outcome);
}

// Relative path ("" for the root) -> index, removed folders left out.
std::map<std::string, uint32_t> live_folders(const Tree& tree) {
    std::map<std::string, uint32_t> by_path;
    for (uint32_t k = 0; k < tree.record_count(); ++k) {
        if (!(tree.folders[k].flags & kFlagRemoved)) {
            by_path.emplace(tree.relative_path(k), k);
        }
    }
    return by_path;
}

uint64_t total_at(const Tree& tree, const std::string& relative) {
    const auto folders = live_folders(tree);
    const auto at = folders.find(relative);
    return at == folders.end() ? 0 : tree.total_size({at->second, 0});
}

std::string relative_of(const std::string& root, const std::string& absolute) {
    return absolute == root ? "" : absolute.substr(root.size() + 1);
}

bool at_or_below(const std::string& path, const std::string& folder) {
    return folder.empty() || path == folder ||
           (path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/');
}

// ---------------------------------------------------------------------------
// Hard links: which folder counts a multi-link file depends on which listing
// meets it first, so two correct scans may count it in different folders.
// Trees are compared with every such file's bytes taken out where each tree
// counted it, and each tree must count every such file exactly once, in a
// folder that holds one of its links.

struct LinkedInode {
    uint64_t bytes = 0;
    std::set<std::string> folders;  // relative paths of the folders holding a link
};

absl::flat_hash_map<DeviceFile, LinkedInode> linked_inodes(const std::string& root) {
    absl::flat_hash_map<DeviceFile, LinkedInode> inodes;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const struct stat st = test::lstat_of(entry.path());
        if (S_ISDIR(st.st_mode) || st.st_nlink < 2) {
            continue;
        }
        LinkedInode& inode = inodes[{static_cast<uint64_t>(st.st_dev), st.st_ino}];
        inode.bytes = static_cast<uint64_t>(st.st_blocks) * 512;
        inode.folders.insert(relative_of(root, entry.path().parent_path().string()));
    }
    return inodes;
}

// Relative folder path -> bytes of multi-link files this tree counts there.
std::map<std::string, uint64_t> linked_bytes_by_folder(
    const Tree& tree, const absl::flat_hash_map<DeviceFile, LinkedInode>& inodes) {
    std::map<std::string, uint64_t> bytes;
    for (const auto& [key, inode] : inodes) {
        const auto held = tree.folder_index.find(key);
        if (held == tree.folder_index.end() || held->second >= tree.record_count() ||
            (tree.folders[held->second].flags & kFlagRemoved)) {
            ADD_FAILURE() << "no folder counts inode " << key.file_id;
            continue;
        }
        const std::string folder = tree.relative_path(held->second);
        EXPECT_TRUE(inode.folders.contains(folder))
            << "inode " << key.file_id << " counted in " << folder << ", which holds no link";
        bytes[folder] += inode.bytes;
    }
    return bytes;
}

struct FolderFacts {
    uint64_t own = 0;    // less the multi-link files counted here
    uint64_t total = 0;  // less the multi-link files counted at or below
    uint16_t flags = 0;  // derived: partial included
    uint16_t error_number = 0;
    uint64_t reclaimable = 0;  // total, unadjusted: compared only without links
    friend bool operator==(const FolderFacts&, const FolderFacts&) = default;
};

std::map<std::string, FolderFacts> facts_of(
    const Tree& tree, const absl::flat_hash_map<DeviceFile, LinkedInode>& inodes) {
    const auto linked = linked_bytes_by_folder(tree, inodes);
    std::map<std::string, FolderFacts> facts;
    for (const auto& [path, index] : live_folders(tree)) {
        const FolderId id{index, 0};
        FolderFacts f{tree.own(id), tree.total_size(id), tree.compute_index().flags[index],
                      tree.folders[index].error_number, inodes.empty() ? tree.reclaimable(id) : 0};
        for (const auto& [folder, bytes] : linked) {
            if (folder == path) {
                f.own -= bytes;
            }
            if (at_or_below(folder, path)) {
                f.total -= bytes;
            }
        }
        facts.emplace(path, f);
    }
    return facts;
}

// The largest files that are not hard links, as (relative file path, size).
std::set<std::pair<std::string, uint64_t>> plain_largest(const Tree& tree,
                                                         const std::string& root) {
    std::set<std::pair<std::string, uint64_t>> files;
    for (const FilePath& file : tree.largest_file_paths(LargestFiles::kCapacity)) {
        struct stat st;
        if (::lstat(file.path.c_str(), &st) == 0 && st.st_nlink < 2) {
            files.emplace(relative_of(root, file.path), file.size);
        }
    }
    return files;
}

std::ostream& operator<<(std::ostream& out, const FolderFacts& f) {
    return out << "own " << f.own << " total " << f.total << " flags " << f.flags << " error "
               << f.error_number << " reclaimable " << f.reclaimable;
}

void expect_same_folders(const Tree& rescanned, const Tree& fresh, const std::string& root,
                         const std::string& context) {
    const auto inodes = linked_inodes(root);
    const auto got = facts_of(rescanned, inodes);
    const auto want = facts_of(fresh, inodes);
    const auto facts_at = [](const auto& facts, const std::string& path) {
        const auto at = facts.find(path);
        return at == facts.end() ? std::nullopt : std::optional(at->second);
    };
    std::set<std::string> paths;
    for (const auto* facts : {&got, &want}) {
        for (const auto& [path, f] : *facts) {
            paths.insert(path);
        }
    }
    for (const std::string& path : paths) {
        EXPECT_EQ(facts_at(got, path), facts_at(want, path)) << context << ": '" << path << "'";
    }
    EXPECT_EQ(rescanned.total_size({0, 0}), fresh.total_size({0, 0})) << context;
    EXPECT_EQ(plain_largest(rescanned, root), plain_largest(fresh, root)) << context;
}

// Deltas are sorted, one per path and never 0; and below every folder that
// stayed (same index), or is the top of a subtree that came or went below
// one that stayed, they add up to how much its total moved. A subtree that
// was scanned again anew counts as gone and come back.
void expect_consistent_changes(const std::vector<FolderChange>& changes, const Tree& before,
                               const Tree& after, const std::string& root,
                               const std::string& context) {
    for (size_t k = 0; k + 1 < changes.size(); ++k) {
        EXPECT_TRUE(path_less(changes[k].path, changes[k + 1].path))
            << context << ": " << changes[k].path << " then " << changes[k + 1].path;
    }
    const bool renumbered = before.generation != after.generation;
    const auto then = live_folders(before);
    const auto now = live_folders(after);
    std::set<std::string> paths;
    std::set<std::string> stayed;
    for (const auto& [path, index] : then) {
        paths.insert(path);
        const auto at = now.find(path);
        // Renumbered trees cannot tell a folder that stayed from a new one
        // of the same name; there the root alone is checked.
        if (at != now.end() && (renumbered ? path.empty() : at->second == index)) {
            stayed.insert(path);
        }
    }
    for (const auto& [path, index] : now) {
        paths.insert(path);
    }
    for (const FolderChange& change : changes) {
        EXPECT_NE(change.delta, 0) << context << ": " << change.path;
        EXPECT_TRUE(paths.contains(relative_of(root, change.path)))
            << context << ": change at unknown " << change.path;
    }
    for (const std::string& path : paths) {
        const std::string parent = fs::path(path).parent_path().string();
        if (!stayed.contains(path) && (path.empty() || renumbered || !stayed.contains(parent))) {
            continue;  // inside a subtree that came or went: its top speaks for it
        }
        int64_t sum = 0;
        for (const FolderChange& change : changes) {
            if (at_or_below(relative_of(root, change.path), path)) {
                sum += change.delta;
            }
        }
        const auto moved = static_cast<int64_t>(total_at(after, path) - total_at(before, path));
        EXPECT_EQ(sum, moved) << context << ": deltas at or below '" << path << "'";
    }
}

// ---------------------------------------------------------------------------
// Random trees and random changes to them.

class RandomDisk {
  public:
    RandomDisk(const std::string& root, uint32_t seed) : root_(root), random_(seed) {}

    void build() {
        for (int k = 0; k < 4; ++k) {
            fill_folder("", 3);
        }
        // Links made before the first scan: which of their folders counts
        // them is up to the order of that scan's listings.
        for (int k = 0; k < 8; ++k) {
            link_somewhere();
        }
    }

    // Applies a few random changes; returns the paths (relative) that an
    // ideal change notice would name: every entry created, removed, written
    // or whose link count moved.
    std::vector<std::string> change(std::map<std::string, int>& tally) {
        changed_.clear();
        for (int k = pick(1, 6); k > 0; --k) {
            const auto& [what, how] = kChanges[pick(0, std::size(kChanges) - 1)];
            tally[what] += (this->*how)();
        }
        return changed_;
    }

  private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    std::string abs(const std::string& relative) const {
        return relative.empty() ? root_ : root_ + "/" + relative;
    }
    static std::string join(const std::string& folder, const std::string& name) {
        return folder.empty() ? name : folder + "/" + name;
    }
    std::string fresh_name(const char* prefix) {
        return std::string(prefix) + std::to_string(next_name_++);
    }
    size_t size() {
        static constexpr size_t kSizes[] = {0, 1, 700, 4096, 5000, 20000, 70000, 300000};
        return kSizes[pick(0, std::size(kSizes) - 1)];
    }

    std::vector<std::string> entries(bool folders) const {
        std::vector<std::string> found;
        if (folders) {
            found.push_back("");
        }
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.is_directory(ignored_) && !entry.is_symlink(ignored_)) {
                if (folders) {
                    found.push_back(relative_of(root_, entry.path().string()));
                }
            } else if (!folders && entry.is_regular_file(ignored_) && !entry.is_symlink(ignored_)) {
                found.push_back(relative_of(root_, entry.path().string()));
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    std::optional<std::string> any_of(const std::vector<std::string>& paths) {
        return paths.empty() ? std::nullopt : std::optional(paths[pick(0, paths.size() - 1)]);
    }
    std::string random_folder() { return *any_of(entries(true)); }
    std::optional<std::string> random_file() { return any_of(entries(false)); }

    // Every other path of the same inode: its link count moves with this one's.
    void note_links_of(const std::string& relative) {
        struct stat st;
        if (::lstat(abs(relative).c_str(), &st) != 0 || S_ISDIR(st.st_mode) || st.st_nlink < 2) {
            return;
        }
        for (const std::string& other : entries(false)) {
            struct stat other_st;
            if (::lstat(abs(other).c_str(), &other_st) == 0 && other_st.st_ino == st.st_ino) {
                changed_.push_back(other);
            }
        }
    }
    // The same for every multi-link file inside a folder about to change.
    void note_links_below(const std::string& folder) {
        for (const std::string& file : entries(false)) {
            if (at_or_below(file, folder)) {
                note_links_of(file);
            }
        }
    }

    int add_file(const std::string& folder) {
        const std::string path = join(folder, fresh_name("f"));
        write_file(abs(path), size());
        changed_.push_back(path);
        return 1;
    }
    int new_file() { return add_file(random_folder()); }
    int many_files() {
        const std::string folder = random_folder();
        for (int k = pick(5, 30); k > 0; --k) {
            add_file(folder);
        }
        return 1;
    }
    void fill_folder(const std::string& folder, int depth) {
        const std::string path = join(folder, fresh_name("d"));
        make_dirs(abs(path));
        for (int k = pick(0, 5); k > 0; --k) {
            write_file(abs(join(path, fresh_name("f"))), size());
        }
        if (depth > 0) {
            for (int k = pick(0, 3); k > 0; --k) {
                fill_folder(path, depth - 1);
            }
        }
    }
    int grow_file() { return resize_file(true); }
    int shrink_file() { return resize_file(false); }
    int resize_file(bool grow) {
        const auto file = random_file();
        if (!file) {
            return 0;
        }
        note_links_of(*file);
        const size_t now = fs::file_size(abs(*file));
        fs::resize_file(abs(*file), grow ? now + 100000 : now / 3);
        changed_.push_back(*file);
        return 1;
    }
    int delete_file() {
        const auto file = random_file();
        if (!file) {
            return 0;
        }
        note_links_of(*file);
        fs::remove(abs(*file));
        changed_.push_back(*file);
        return 1;
    }
    int new_folder() {
        const std::string parent = random_folder();
        const size_t before = changed_.size();
        fill_folder(parent, pick(0, 2));
        // The new top folder is the one entry its parent gained.
        const auto folders = entries(true);
        for (const std::string& folder : folders) {
            if (folder != parent && at_or_below(folder, parent) &&
                folder.find('/', parent.empty() ? 0 : parent.size() + 1) == std::string::npos &&
                !known_.contains(folder)) {
                changed_.push_back(folder);
            }
        }
        known_.insert(folders.begin(), folders.end());
        if (pick(0, 1) == 0 && changed_.size() > before) {
            if (const auto file = random_file()) {
                // A link from inside the new folder to a file anywhere.
                note_links_of(*file);
                changed_.push_back(*file);
                const std::string link = join(changed_[before], fresh_name("h"));
                fs::create_hard_link(abs(*file), abs(link));
                changed_.push_back(link);
            }
        }
        return 1;
    }
    std::optional<std::string> random_subfolder() {
        auto folders = entries(true);
        folders.erase(folders.begin());  // never the root
        return any_of(folders);
    }
    int delete_folder() {
        const auto folder = random_subfolder();
        if (!folder) {
            return 0;
        }
        note_links_below(*folder);
        test::remove_tree_at(AT_FDCWD, abs(*folder));
        changed_.push_back(*folder);
        return 1;
    }
    int rename_folder() {
        const auto folder = random_subfolder();
        if (!folder) {
            return 0;
        }
        std::string target = random_folder();
        if (at_or_below(target, *folder)) {
            target = "";
        }
        const std::string moved = join(target, fresh_name("r"));
        fs::rename(abs(*folder), abs(moved));
        changed_.push_back(*folder);
        changed_.push_back(moved);
        return 1;
    }
    int link_somewhere() {
        const auto file = random_file();
        if (!file) {
            return 0;
        }
        note_links_of(*file);
        changed_.push_back(*file);
        // Some files get three links, so one can go and the rest stay linked.
        for (int k = pick(1, 2); k > 0; --k) {
            const std::string link = join(random_folder(), fresh_name("h"));
            fs::create_hard_link(abs(*file), abs(link));
            changed_.push_back(link);
        }
        return 1;
    }
    // Deletes a folder two or more levels above a hard link: the folder
    // counting the link goes without being listed itself.
    int delete_above_link() {
        std::vector<std::string> deep_links;
        for (const std::string& file : entries(false)) {
            struct stat st;
            if (std::count(file.begin(), file.end(), '/') >= 2 &&
                ::lstat(abs(file).c_str(), &st) == 0 && st.st_nlink >= 2) {
                deep_links.push_back(file);
            }
        }
        if (!deep_links.empty() && pick(0, 1) == 0) {
            const std::string file = deep_links[pick(0, deep_links.size() - 1)];
            const auto depth = std::count(file.begin(), file.end(), '/');
            std::string folder = file.substr(0, file.find('/'));
            if (depth > 2 && pick(0, 1) == 1) {
                folder = file.substr(0, file.find('/', folder.size() + 1));
            }
            note_links_below(folder);
            test::remove_tree_at(AT_FDCWD, abs(folder));
            changed_.push_back(folder);
            return 1;
        }
        // Else a new file deep down with two more links in new folders,
        // for a later round. Listings come before new subtrees are scanned,
        // so the deep folder counts it.
        auto folders = entries(true);
        std::erase_if(folders, [](const std::string& folder) {
            return std::count(folder.begin(), folder.end(), '/') < 1;
        });
        const auto deep = any_of(folders);
        if (!deep) {
            return 0;
        }
        const std::string file = join(*deep, fresh_name("f"));
        write_file(abs(file), 70000);
        changed_.push_back(file);
        for (int k = 0; k < 2; ++k) {
            const std::string folder = join(random_folder(), fresh_name("n"));
            make_dirs(abs(folder));
            fs::create_hard_link(abs(file), abs(join(folder, fresh_name("h"))));
            changed_.push_back(folder);
        }
        return 0;
    }
    // Removes one link of a multi-link file and names only that path, as an
    // event stream would: the folders holding the other links are not listed.
    int unlink_quietly() {
        std::vector<std::string> linked;
        for (const std::string& file : entries(false)) {
            if (test::lstat_of(abs(file)).st_nlink >= 2) {
                linked.push_back(file);
            }
        }
        const auto file = any_of(linked);
        if (!file) {
            return 0;
        }
        fs::remove(abs(*file));
        changed_.push_back(*file);
        return 1;
    }
    int file_to_folder() {
        const auto file = random_file();
        if (!file) {
            return 0;
        }
        note_links_of(*file);
        fs::remove(abs(*file));
        make_dirs(abs(*file));
        write_file(abs(join(*file, fresh_name("f"))), size());
        changed_.push_back(*file);
        return 1;
    }
    int symlink_somewhere() {
        const std::string link = join(random_folder(), fresh_name("s"));
        fs::create_symlink("../somewhere/else/" + std::string(200, 'x'), abs(link));
        changed_.push_back(link);
        return 1;
    }

    std::string root_;
    std::mt19937 random_;
    uint32_t next_name_ = 0;
    std::set<std::string> known_;
    std::vector<std::string> changed_;
    mutable std::error_code ignored_;

  public:
    // The kinds of change, each counted in the tally when it happened.
    using Change = int (RandomDisk::*)();
    static constexpr std::pair<const char*, Change> kChanges[] = {
        {"new file", &RandomDisk::new_file},
        {"grown file", &RandomDisk::grow_file},
        {"shrunk file", &RandomDisk::shrink_file},
        {"deleted file", &RandomDisk::delete_file},
        {"new folder", &RandomDisk::new_folder},
        {"deleted folder", &RandomDisk::delete_folder},
        {"renamed folder", &RandomDisk::rename_folder},
        {"hard link", &RandomDisk::link_somewhere},
        {"file became folder", &RandomDisk::file_to_folder},
        {"symlink", &RandomDisk::symlink_somewhere},
        {"folder with a link deep inside deleted", &RandomDisk::delete_above_link},
        {"link dropped, other links not named", &RandomDisk::unlink_quietly},
        {"many new files", &RandomDisk::many_files},
    };
};

// How a round hands its changes to the rescan.
enum class Delivery { ChangedPaths, Relist, MustScan };

ChangeSets deliver(Delivery how, const Tree& tree, const std::vector<std::string>& paths) {
    ChangeSets sets;
    if (how == Delivery::ChangedPaths) {
        sets.changed = paths;
        return sets;
    }
    ChildNames children(tree, tree.compute_index());
    for (const std::string& path : paths) {
        const FoundFolder at = find_path(children, path);
        if (how == Delivery::MustScan) {
            sets.must_scan.push_back(tree.relative_path(at.folder));
            continue;
        }
        sets.relist.push_back(at.folder);
        if (at.found && at.folder != 0) {
            sets.relist.push_back(tree.folders[at.folder].parent);
        }
    }
    return sets;
}

TEST(RescanFolders, MatchesAFullScanAfterRandomChanges) {
    constexpr uint32_t kSeeds = 48;
    constexpr int kRounds = 5;
    std::map<std::string, int> tally;
    int compactions = 0;
    int root_rescans = 0;
    // BRAMWEX_TEST_SEED=n runs that seed alone, to look into a failure.
    const char* only = std::getenv("BRAMWEX_TEST_SEED");
    for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
        if (only != nullptr && std::to_string(seed) != only) {
            continue;
        }
        TempDir dir;
        RandomDisk disk(dir.path(), seed);
        disk.build();
        ScanOptions options;
        options.threads = seed % 3 == 0 ? std::optional<uint32_t>(1) : std::nullopt;
        options.reclaimable = seed % 4 == 1;
        Pool pool = pool_of(options.threads);
        Followed live = scan_followed(dir.path(), options);
        Tree& tree = live.tree;
        EXPECT_EQ(rescan_ok(live, {}, pool, options).kind, RescanOutcome::Kind::NoChanges);
        for (int round = 0; round < kRounds; ++round) {
            const std::string context =
                "seed " + std::to_string(seed) + " round " + std::to_string(round);
            const Tree before = tree.clone();
            const std::vector<std::string> paths = disk.change(tally);
            const auto how = static_cast<Delivery>((seed + round) % 5 == 4   ? 2
                                                   : (seed + round) % 5 == 3 ? 1
                                                                             : 0);
            RescanOutcome outcome = rescan_ok(live, deliver(how, before, paths), pool, options);
            if (outcome.kind == RescanOutcome::Kind::RootMustBeScanned) {
                ++root_rescans;
                EXPECT_EQ(tree.folders, before.folders) << context;
                outcome = rescan_ok(live, deliver(Delivery::Relist, before, paths), pool, options);
            }
            const Tree fresh = scan_ok(dir.path(), options);
            expect_same_folders(tree, fresh, dir.path(), context);
            expect_consistent_changes(outcome.changes, before, tree, dir.path(), context);
            EXPECT_EQ(outcome.kind == RescanOutcome::Kind::Changes, !outcome.changes.empty());

            if (tree.generation != before.generation) {
                ++compactions;
                EXPECT_EQ(tree.record_count(), fresh.record_count()) << context;
            } else {
                // Without compaction every folder that stayed keeps its index.
                const auto now = live_folders(tree);
                for (const auto& [path, index] : live_folders(before)) {
                    if (const auto at = now.find(path); at != now.end() && index != at->second) {
                        EXPECT_TRUE(fs::exists(dir / path)) << context;
                        // Only a folder replaced under the same name moves.
                        EXPECT_GE(at->second, before.record_count()) << context << ": " << path;
                    }
                }
            }
        }
    }
    if (only != nullptr) {
        return;
    }
    for (const auto& [what, how] : RandomDisk::kChanges) {
        EXPECT_GT(tally[what], 0) << what;  // every kind of change was tried
    }
    EXPECT_GT(root_rescans, 0);
    EXPECT_GT(compactions, 0);
}

// ---------------------------------------------------------------------------

TEST(RescanFolders, AMustScanOfTheRootOrAboveLeavesTheTreeAlone) {
    TempDir dir;
    write_file(dir / "a/file", 5000);
    Followed live = scan_followed(dir.path());
    Tree& tree = live.tree;
    const Tree before = tree.clone();
    Pool pool = pool_of(2);
    write_file(dir / "a/more", 5000);
    for (const std::string& root : {std::string(""), std::string("gone/below")}) {
        ChangeSets sets;
        sets.changed = {"a/more"};
        sets.must_scan = {root};
        EXPECT_EQ(rescan_ok(live, sets, pool).kind, RescanOutcome::Kind::RootMustBeScanned);
        EXPECT_EQ(tree.folders, before.folders);
    }
}

TEST(RescanFolders, ReportsTheTopsOfVanishedAndNewSubtreesOnly) {
    TempDir dir;
    write_file(dir / "a/b/c/file", 50000);
    write_file(dir / "a/b/other", 7000);
    make_dirs(dir / "d");
    Followed live = scan_followed(dir.path());
    Tree& tree = live.tree;
    const uint64_t b_total = total_at(tree, "a/b");
    Pool pool = pool_of(std::nullopt);

    test::remove_tree_at(AT_FDCWD, dir / "a/b");
    write_file(dir / "d/e/f/g", 30000);
    write_file(dir / "d/e/h", 1);
    ChangeSets sets;
    sets.changed = {"a/b/c/file", "a/b/c", "a/b/other", "a/b", "d/e"};
    const RescanOutcome outcome = rescan_ok(live, sets, pool);

    const Tree fresh = scan_ok(dir.path());
    const std::vector<FolderChange> want{
        {dir / "a/b", -static_cast<int64_t>(b_total)},
        {dir / "d/e", static_cast<int64_t>(total_at(fresh, "d/e"))},
    };
    EXPECT_EQ(outcome.kind, RescanOutcome::Kind::Changes);
    EXPECT_EQ(outcome.changes, want);
    expect_same_folders(tree, fresh, dir.path(), "vanished and new");
}

TEST(RescanFolders, KeepsTheLargestFilesOfAFullScanWhenSizesTieAtTheCutoff) {
    TempDir dir;
    for (size_t k = 0; k <= LargestFiles::kCapacity; ++k) {
        write_file(dir / fmt::format("m/f{:04}", k), 4096);
    }
    make_dirs(dir / "a");
    Followed live = scan_followed(dir.path());
    Pool pool = pool_of(std::nullopt);

    // As large as the smallest kept file and first by path: it takes a place.
    write_file(dir / "a/f", 4096);
    ChangeSets sets;
    sets.changed = {"a/f"};
    rescan_ok(live, sets, pool);
    const Tree fresh = scan_ok(dir.path());
    EXPECT_EQ(plain_largest(live.tree, dir.path()), plain_largest(fresh, dir.path()));
}

TEST(SortAndMergeChanges, OrdersNameByNameAndSumsRunsOfOnePath) {
    std::vector<FolderChange> changes{
        {"/r/a-b", 1}, {"/r/a/b", 5}, {"/r/a.b", 2}, {"/r/a", -3},  {"/r/a/b", -5},
        {"/r/ab", 4},  {"/r/a", 10},  {"/r", 0},     {"/r/a/c", 6},
    };
    sort_and_merge_changes(changes);
    const std::vector<FolderChange> want{
        {"/r/a", 7}, {"/r/a/c", 6}, {"/r/a-b", 1}, {"/r/a.b", 2}, {"/r/ab", 4},
    };
    EXPECT_EQ(changes, want);
}

TEST(RescanFolders, NeverListsAFolderOnAnotherDeviceNorEntersABindMountOfAnAncestor) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting needs root";
    }
    TempDir dir;
    make_dirs(dir / "sub/mnt");
    const test::ScopedMount mounted("bramwex-test", dir / "sub/mnt", "tmpfs", 0, "size=4m");
    if (!mounted.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    Followed live = scan_followed(dir.path());
    Tree& tree = live.tree;
    const uint32_t mount = live_folders(tree).at("sub/mnt");
    Pool pool = pool_of(2);

    write_file(dir / "sub/mnt/inside/big", 1 << 20);
    write_file(dir / "sub/file", 10000);
    make_dirs(dir / "sub/loop");
    const test::ScopedMount loop(dir.path(), dir / "sub/loop", nullptr, MS_BIND);
    if (!loop.mounted()) {
        GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
    }
    ChangeSets sets;
    sets.changed = {"sub/mnt/inside/big", "sub/mnt", "sub/file", "sub/loop"};
    sets.must_scan = {"sub/mnt/inside"};
    sets.relist = {mount};
    const RescanOutcome outcome = rescan_ok(live, sets, pool);

    ASSERT_EQ(outcome.changes.size(), 1u);
    EXPECT_EQ(outcome.changes[0].path, dir / "sub");
    const auto folders = live_folders(tree);
    EXPECT_EQ(folders.size(), 4u);  // the root, sub, and the two mounts, never entered
    EXPECT_EQ(folders.at("sub/mnt"), mount);
    EXPECT_EQ(tree.folders[mount].flags, kFlagOtherDevice);
    EXPECT_EQ(tree.child_ids({mount, 0}).size(), 0u);
    ASSERT_TRUE(folders.contains("sub/loop"));
    EXPECT_EQ(tree.folders[folders.at("sub/loop")].flags, kFlagOtherDevice);

    // Listing sub again keeps the repeated folder's record, as it keeps any other.
    ChangeSets again;
    again.changed = {"sub/file"};
    rescan_ok(live, again, pool);
    EXPECT_EQ(live_folders(tree), folders);

    // Followed from sub, loop and up (bound after the scan) repeat nothing on
    // the chain, but the root's own folder inside them does; listing up again
    // keeps that.
    make_dirs(dir / "sub/up");
    Followed inner = scan_followed(dir / "sub");
    const test::ScopedMount up(dir.path(), dir / "sub/up", nullptr, MS_BIND);
    ASSERT_TRUE(up.mounted());
    for (const std::string changed : {"up", "up/sub"}) {
        rescan_ok(inner, {{changed}, {}, {}}, pool);
        const auto inside = live_folders(inner.tree);
        EXPECT_EQ(inside.size(), 6u) << changed;  // "", mnt, loop, loop/sub, up, up/sub
        for (const std::string repeated : {"loop/sub", "up/sub"}) {
            ASSERT_TRUE(inside.contains(repeated)) << repeated;
            EXPECT_EQ(inner.tree.folders[inside.at(repeated)].flags, kFlagOtherDevice) << repeated;
        }
    }
}

TEST(RescanFolders, DropsRemovedFoldersOnceTheyAreMostOfTheTree) {
    TempDir dir;
    for (int k = 0; k < 6; ++k) {
        write_file(dir / ("keep" + std::to_string(k) + "/f"), 4096);
        write_file(dir / ("go" + std::to_string(k) + "/x/y/f"), 4096);
    }
    Followed live = scan_followed(dir.path());
    Tree& tree = live.tree;
    const uint32_t generation = tree.generation;
    const uint32_t keep3 = live_folders(tree).at("keep3");
    Pool pool = pool_of(1);

    test::remove_tree_at(AT_FDCWD, dir / "go0");
    EXPECT_EQ(rescan_ok(live, {{"go0"}, {}, {}}, pool).kind, RescanOutcome::Kind::Changes);
    EXPECT_EQ(tree.generation, generation);  // ids handed out stay good
    EXPECT_EQ(live_folders(tree).at("keep3"), keep3);

    std::vector<std::string> gone;
    for (int k = 1; k < 6; ++k) {
        gone.push_back("go" + std::to_string(k));
        test::remove_tree_at(AT_FDCWD, dir / gone.back());
    }
    EXPECT_EQ(rescan_ok(live, {gone, {}, {}}, pool).kind, RescanOutcome::Kind::Changes);
    EXPECT_NE(tree.generation, generation);
    const Tree fresh = scan_ok(dir.path());
    EXPECT_EQ(tree.record_count(), fresh.record_count());
    for (const FolderRecord& record : tree.folders) {
        EXPECT_FALSE(record.flags & kFlagRemoved);
    }
    EXPECT_EQ(tree.names->size(), 1u + 6u);  // the root path and "keep0".."keep5"
    expect_same_folders(tree, fresh, dir.path(), "compacted");
}

TEST(RescanFolders, AFailedRescanLeavesTheTreeAsItWas) {
    auto parent = std::make_unique<TempDir>();
    const std::string root = *parent / "root";
    write_file(root + "/a/file", 5000);
    write_file(root + "/a/big", 300000);
    fs::create_hard_link(root + "/a/file", root + "/link");
    Pool pool = pool_of(2);
    ScanOptions throwing;
    throwing.stop = []() -> bool { throw std::bad_alloc(); };
    const auto root_went = [&] { test::remove_tree_at(AT_FDCWD, root); };

    struct Case {
        const char* what;
        ScanOptions options;
        std::function<void()> before;
        int error;  // 0: the rescan throws
    };
    const Case cases[] = {
        {"a job throws", throwing, [&] { make_dirs(root + "/a/new/deeper"); }, 0},
        {"the root went", {}, root_went, ENOENT},
    };
    for (const Case& c : cases) {
        Followed live = scan_followed(root);
        const Tree before = live.tree.clone();
        const LinkHolders links = live.links;
        c.before();
        if (c.error == 0) {
            EXPECT_THROW(
                rescan_folders(live.tree, live.links, {{"a/new"}, {}, {}}, c.options, pool),
                std::bad_alloc)
                << c.what;
        } else {
            const auto outcome =
                rescan_folders(live.tree, live.links, {{"a/file"}, {}, {}}, c.options, pool);
            ASSERT_FALSE(outcome) << c.what;
            EXPECT_EQ(outcome.error().code, c.error) << c.what;
        }
        EXPECT_EQ(live.tree.folders, before.folders) << c.what;
        EXPECT_EQ(live.tree.folder_index, before.folder_index) << c.what;
        EXPECT_EQ(live.tree.files, before.files) << c.what;
        EXPECT_EQ(live.tree.generation, before.generation) << c.what;
        EXPECT_EQ(live.links.size(), links.size()) << c.what;
    }
}

TEST(RescanFolders, AStoppedRescanKeepsTheFoldersItListedInFullAndIsMarkedStopped) {
    TempDir dir;
    make_dirs(dir / "a");
    // More entries than one batch of a listing: the stop is asked inside it.
    for (int k = 0; k < 3000; ++k) {
        write_file(dir / fmt::format("wide/{:05}", k), 0);
    }
    Followed live = scan_followed(dir.path());
    Tree& tree = live.tree;
    Pool pool = pool_of(2);
    write_file(dir / "a/file", 8192);
    write_file(dir / "a/new/deep/file", 8192);
    write_file(dir / "wide/new", 8192);  // unseen: that listing is cut short

    ScanOptions options;
    options.stop = [] { return true; };
    const RescanOutcome outcome =
        rescan_ok(live, {{"a/file", "a/new", "wide/new"}, {}, {}}, pool, options);
    EXPECT_TRUE(tree.stopped);
    EXPECT_FALSE(live_folders(tree).contains("a/new"));
    ASSERT_EQ(outcome.changes.size(), 1u);
    EXPECT_EQ(outcome.changes[0].path, dir / "a");
    EXPECT_EQ(outcome.changes[0].delta, static_cast<int64_t>(test::allocated_of(dir / "a/file")));
}

}  // namespace
}  // namespace bramwex::core
