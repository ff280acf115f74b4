#include "core/live/rescan.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/live/rescan_changes.hpp"
#include "core/live/rescan_paths.hpp"
#include "tests/result_ok.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using test::make_dirs;
using test::TempDir;
using test::write_file;

using test::ok;

// A tree as live following keeps it: with the folders holding each link,
// which rescans keep up to date.
struct Followed {
    Tree tree;
    LinkHolders links;
};

Followed scan_followed(const std::string& path, const ScanOptions& options = {}) {
    Followed followed;
    ScanHooks hooks;
    hooks.link_holders = &followed.links;
    const Scanner scanner{std::make_shared<Pool>(ok(build_pool(options.threads))), options};
    followed.tree = ok(scanner.scan(path, hooks));
    return followed;
}

RescanOutcome rescan_ok(Followed& followed, const ChangeSets& changes, Pool& pool,
                        const ScanOptions& options = {}) {
    return ok(rescan_folders(followed.tree, followed.links, changes, options, pool));
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

// Hard links: each tree must count every multi-link file once, in the
// folder holding one of its links that a walk in name order meets first
// (any holder for a file without bytes).
// Trees are compared with every such file's bytes taken out where each tree
// counted it.
struct LinkedInode {
    uint64_t bytes = 0;
    std::set<std::string> folders;  // relative paths of the folders holding a link
};
using LinkedInodes = absl::flat_hash_map<DeviceFile, LinkedInode>;

// Of folders given by relative path, the one a walk in name order meets first.
std::string first_in_name_order(const std::set<std::string>& folders) {
    const auto components = [](const std::string& path) {
        std::vector<std::string> names;
        for (size_t at = 0; !path.empty() && at <= path.size();) {
            const size_t slash = std::min(path.find('/', at), path.size());
            names.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        return names;
    };
    return *std::min_element(folders.begin(), folders.end(), [&](const auto& a, const auto& b) {
        return components(a) < components(b);
    });
}

LinkedInodes linked_inodes(const std::string& root) {
    LinkedInodes inodes;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const struct stat st = test::lstat_of(entry.path());
        if (!S_ISDIR(st.st_mode) && st.st_nlink >= 2) {
            LinkedInode& inode = inodes[{static_cast<uint64_t>(st.st_dev), st.st_ino}];
            inode.bytes = static_cast<uint64_t>(st.st_blocks) * 512;
            inode.folders.insert(relative_of(root, entry.path().parent_path().string()));
        }
    }
    return inodes;
}

// Per live folder: own and total bytes less the multi-link files counted
// there (at or below), derived flags, error number, and reclaimable bytes
// (compared only without links).
using FolderFacts = std::tuple<uint64_t, uint64_t, uint16_t, uint16_t, uint64_t>;

std::map<std::string, FolderFacts> facts_of(const Tree& tree, const LinkedInodes& inodes) {
    std::map<std::string, uint64_t> linked;  // counting folder -> bytes
    for (const auto& [key, inode] : inodes) {
        const auto held = tree.folder_index.find(key);
        if (held == tree.folder_index.end() || held->second >= tree.record_count() ||
            (tree.folders[held->second].flags & kFlagRemoved)) {
            ADD_FAILURE() << "no folder counts inode " << key.file_id;
            continue;
        }
        const std::string folder = tree.relative_path(held->second);
        // A file without bytes may stay where a rescan first met it: where
        // it counts changes no size.
        EXPECT_TRUE(inode.bytes == 0 ? inode.folders.contains(folder)
                                     : folder == first_in_name_order(inode.folders))
            << "inode " << key.file_id << " counted in " << folder;
        linked[folder] += inode.bytes;
    }
    std::map<std::string, FolderFacts> facts;
    for (const auto& [path, index] : live_folders(tree)) {
        const FolderId id{index, 0};
        uint64_t own = tree.own(id);
        uint64_t total = tree.total_size(id);
        for (const auto& [folder, bytes] : linked) {
            own -= folder == path ? bytes : 0;
            total -= at_or_below(folder, path) ? bytes : 0;
        }
        facts.emplace(path, FolderFacts{own, total, tree.compute_index().flags[index],
                                        tree.folders[index].error_number,
                                        inodes.empty() ? tree.reclaimable(id) : 0});
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

void expect_same_folders(const Tree& rescanned, const Tree& fresh, const std::string& root,
                         const std::string& context) {
    const auto inodes = linked_inodes(root);
    std::map<std::string, std::pair<std::optional<FolderFacts>, std::optional<FolderFacts>>> both;
    for (const auto& [path, f] : facts_of(rescanned, inodes)) {
        both[path].first = f;
    }
    for (const auto& [path, f] : facts_of(fresh, inodes)) {
        both[path].second = f;
    }
    for (const auto& [path, got_want] : both) {
        EXPECT_EQ(got_want.first, got_want.second) << context << ": '" << path << "'";
    }
    EXPECT_EQ(rescanned.total_size({0, 0}), fresh.total_size({0, 0})) << context;
    EXPECT_EQ(plain_largest(rescanned, root), plain_largest(fresh, root)) << context;
    EXPECT_EQ(rescanned.largest_file_paths(LargestFiles::kCapacity),
              fresh.largest_file_paths(LargestFiles::kCapacity))
        << context;
}

// Deltas are sorted, one per path and never 0, and name only folders that
// stayed (same index) or the tops of subtrees that came or went below one
// that stayed; at or below each of those they add up to how much its total
// moved. A subtree scanned again anew counts as gone and come back. A
// renumbered tree cannot tell a folder that stayed from a new one of the
// same name: there only the root is checked.
void expect_consistent_changes(const std::vector<FolderChange>& changes, const Tree& before,
                               const Tree& after, const std::string& root,
                               const std::string& context) {
    for (size_t k = 0; k + 1 < changes.size(); ++k) {
        EXPECT_TRUE(path_less(changes[k].path, changes[k + 1].path))
            << context << ": " << changes[k].path << " then " << changes[k + 1].path;
    }
    const bool renumbered = before.generation != after.generation;
    const auto now = live_folders(after);
    std::set<std::string> paths;
    std::set<std::string> stayed;
    for (const auto& [path, index] : live_folders(before)) {
        paths.insert(path);
        const auto at = now.find(path);
        if (at != now.end() && (renumbered ? path.empty() : at->second == index)) {
            stayed.insert(path);
        }
    }
    for (const auto& [path, index] : now) {
        paths.insert(path);
    }
    const auto speaks = [&](const std::string& path) {
        return stayed.contains(path) || (!path.empty() && !renumbered &&
                                         stayed.contains(fs::path(path).parent_path().string()));
    };
    for (const FolderChange& change : changes) {
        const std::string path = relative_of(root, change.path);
        EXPECT_NE(change.delta, 0) << context << ": " << change.path;
        EXPECT_TRUE(paths.contains(path) && (renumbered || speaks(path)))
            << context << ": a change at " << change.path;
    }
    for (const std::string& path : paths) {
        if (!speaks(path)) {
            continue;
        }
        int64_t sum = 0;
        for (const FolderChange& change : changes) {
            sum += at_or_below(relative_of(root, change.path), path) ? change.delta : 0;
        }
        const auto moved = static_cast<int64_t>(total_at(after, path) - total_at(before, path));
        EXPECT_EQ(sum, moved) << context << ": deltas at or below '" << path << "'";
    }
}

// Random trees and random changes to them. Each change returns 1 when it
// happened and adds the paths (relative) that an event stream names: every
// entry created, removed or written through, never the other links of a file
// whose link count or size moved.
struct RandomDisk {
    RandomDisk(const std::string& root, uint32_t seed) : root_(root), random_(seed) {
        for (int k = 0; k < 4; ++k) {
            fill_folder("", 3);
        }
        // Links made before the first scan: which of their folders counts
        // them is up to the order of that scan's listings.
        for (int k = 0; k < 8; ++k) {
            link_somewhere();
        }
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::string abs(const std::string& relative) const {
        return relative.empty() ? root_ : root_ + "/" + relative;
    }
    static std::string join(const std::string& folder, const std::string& name) {
        return folder.empty() ? name : folder + "/" + name;
    }
    std::string fresh_name(const char* prefix) { return prefix + std::to_string(next_name_++); }
    size_t size() {
        static constexpr size_t kSizes[] = {0, 1, 700, 4096, 5000, 20000, 70000, 300000};
        return kSizes[pick(0, std::size(kSizes) - 1)];
    }

    // Sorted folders (the root first) or regular files.
    std::vector<std::string> entries(bool folders) const {
        std::vector<std::string> found;
        if (folders) {
            found.push_back("");
        }
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (!entry.is_symlink(ignored_) &&
                (folders ? entry.is_directory(ignored_) : entry.is_regular_file(ignored_))) {
                found.push_back(relative_of(root_, entry.path().string()));
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    // One of paths, or "" when there is none.
    std::string any_of(const std::vector<std::string>& paths) {
        return paths.empty() ? "" : paths[pick(0, paths.size() - 1)];
    }
    std::string random_folder() { return any_of(entries(true)); }
    std::string random_file() { return any_of(entries(false)); }
    std::vector<std::string> subfolders() const {
        auto folders = entries(true);
        folders.erase(folders.begin());  // never the root
        return folders;
    }

    std::string fill_folder(const std::string& folder, int depth) {
        const std::string path = join(folder, fresh_name("d"));
        make_dirs(abs(path));
        for (int k = pick(0, 5); k > 0; --k) {
            write_file(abs(join(path, fresh_name("f"))), size());
        }
        for (int k = depth > 0 ? pick(0, 3) : 0; k > 0; --k) {
            fill_folder(path, depth - 1);
        }
        return path;
    }
    int add_files(const std::string& folder, int count) {
        for (; count > 0; --count) {
            changed_.push_back(join(folder, fresh_name("f")));
            write_file(abs(changed_.back()), size());
        }
        return 1;
    }
    // Changes a random one of paths, named as changed; 0 when there is none.
    template <class Act>
    int change_any(const std::vector<std::string>& paths, Act act) {
        const std::string path = any_of(paths);
        if (path.empty()) {
            return 0;
        }
        changed_.push_back(path);
        act(path);
        return 1;
    }
    int resize_file(bool grow) {
        return change_any(entries(false), [&](const std::string& file) {
            const size_t now = fs::file_size(abs(file));
            fs::resize_file(abs(file), grow ? now + 100000 : now / 3);
        });
    }
    int remove_file(bool linked_only) {
        auto files = entries(false);
        std::erase_if(files, [&](const std::string& file) {
            return linked_only && test::lstat_of(abs(file)).st_nlink < 2;
        });
        return change_any(files, [&](const std::string& file) { fs::remove(abs(file)); });
    }
    int new_folder() {
        const std::string parent = random_folder();
        changed_.push_back(fill_folder(parent, pick(0, 2)));
        if (pick(0, 1) == 0) {
            if (const std::string file = random_file(); !file.empty()) {
                // A link from inside the new folder to a file anywhere.
                changed_.push_back(join(changed_.back(), fresh_name("h")));
                fs::create_hard_link(abs(file), abs(changed_.back()));
            }
        }
        return 1;
    }
    int delete_folder() {
        return change_any(subfolders(), [&](const std::string& folder) {
            test::remove_tree_at(AT_FDCWD, abs(folder));
        });
    }
    int rename_folder() {
        return change_any(subfolders(), [&](const std::string& folder) {
            const std::string target = random_folder();
            changed_.push_back(join(at_or_below(target, folder) ? "" : target, fresh_name("r")));
            fs::rename(abs(folder), abs(changed_.back()));
        });
    }
    int link_somewhere() {
        const std::string file = random_file();
        if (file.empty()) {
            return 0;
        }
        // Some files get three links, so one can go and the rest stay linked.
        for (int k = pick(1, 2); k > 0; --k) {
            changed_.push_back(join(random_folder(), fresh_name("h")));
            fs::create_hard_link(abs(file), abs(changed_.back()));
        }
        return 1;
    }
    // Deletes a folder two or more levels above a hard link: the folder
    // counting the link goes without being listed itself. Else, for a later
    // round, makes a new file deep down with two more links in new folders;
    // listings come before new subtrees are scanned, so the deep folder counts it.
    int delete_above_link() {
        std::vector<std::string> deep;
        for (const std::string& file : entries(false)) {
            if (std::ranges::count(file, '/') >= 2 && test::lstat_of(abs(file)).st_nlink >= 2) {
                deep.push_back(file);
            }
        }
        if (!deep.empty() && pick(0, 1) == 0) {
            const std::string file = any_of(deep);
            std::string folder = file.substr(0, file.find('/'));
            if (std::ranges::count(file, '/') > 2 && pick(0, 1) == 1) {
                folder = file.substr(0, file.find('/', folder.size() + 1));
            }
            test::remove_tree_at(AT_FDCWD, abs(folder));
            changed_.push_back(folder);
            return 1;
        }
        auto folders = entries(true);
        std::erase_if(folders, [](const auto& folder) { return folder.find('/') == folder.npos; });
        const std::string at = any_of(folders);
        if (at.empty()) {
            return 0;
        }
        const std::string file = join(at, fresh_name("f"));
        write_file(abs(file), 70000);
        changed_.push_back(file);
        for (int k = 0; k < 2; ++k) {
            changed_.push_back(join(random_folder(), fresh_name("n")));
            make_dirs(abs(changed_.back()));
            fs::create_hard_link(abs(file), abs(join(changed_.back(), fresh_name("h"))));
        }
        return 0;
    }
    // Writes through one link of a file, then that link goes, alone or with
    // its folder: the folders holding the others are not named.
    int grow_then_drop_link() {
        auto files = entries(false);
        std::erase_if(
            files, [&](const std::string& file) { return test::lstat_of(abs(file)).st_nlink < 2; });
        return change_any(files, [&](const std::string& file) {
            std::ofstream(abs(file), std::ios::app | std::ios::binary) << std::string(200000, 'g');
            const std::string folder = fs::path(file).parent_path().string();
            if (folder.empty() || pick(0, 1) == 0) {
                fs::remove(abs(file));
            } else {
                test::remove_tree_at(AT_FDCWD, abs(folder));
                changed_.push_back(folder);
            }
        });
    }
    int file_to_folder() {
        return change_any(entries(false), [&](const std::string& file) {
            fs::remove(abs(file));
            write_file(abs(join(file, fresh_name("f"))), size());
        });
    }
    int symlink_somewhere() {
        changed_.push_back(join(random_folder(), fresh_name("s")));
        fs::create_symlink("../somewhere/else/" + std::string(200, 'x'), abs(changed_.back()));
        return 1;
    }

    std::string root_;
    std::mt19937 random_;
    uint32_t next_name_ = 0;
    std::vector<std::string> changed_;
    mutable std::error_code ignored_;
};

using Disk = RandomDisk&;
constexpr std::pair<const char*, int (*)(Disk)> kChanges[] = {
    {"new file", [](Disk d) { return d.add_files(d.random_folder(), 1); }},
    {"grown file", [](Disk d) { return d.resize_file(true); }},
    {"shrunk file", [](Disk d) { return d.resize_file(false); }},
    {"deleted file", [](Disk d) { return d.remove_file(false); }},
    {"new folder", [](Disk d) { return d.new_folder(); }},
    {"deleted folder", [](Disk d) { return d.delete_folder(); }},
    {"renamed folder", [](Disk d) { return d.rename_folder(); }},
    {"hard link", [](Disk d) { return d.link_somewhere(); }},
    {"file became folder", [](Disk d) { return d.file_to_folder(); }},
    {"symlink", [](Disk d) { return d.symlink_somewhere(); }},
    {"folder with a link deep inside deleted", [](Disk d) { return d.delete_above_link(); }},
    // The folders holding the other links are not named.
    {"one link of several deleted", [](Disk d) { return d.remove_file(true); }},
    {"grown through a link that then went", [](Disk d) { return d.grow_then_drop_link(); }},
    {"many new files",
     [](Disk d) {
         const std::string folder = d.random_folder();
         return d.add_files(folder, d.pick(5, 30));
     }},
};

// A few random changes, each kind counted in the tally when it happened.
std::vector<std::string> change(Disk disk, std::map<std::string, int>& tally) {
    disk.changed_.clear();
    for (int k = disk.pick(1, 6); k > 0; --k) {
        const auto& [what, how] = kChanges[disk.pick(0, std::size(kChanges) - 1)];
        tally[what] += how(disk);
    }
    return disk.changed_;
}

// How a round hands its changes to the rescan: 0 as changed paths, 1 as
// folders to list again (with their parents), 2 as subtrees to scan again.
ChangeSets deliver(int how, const Tree& tree, const std::vector<std::string>& paths) {
    ChangeSets sets;
    if (how != 1) {
        (how == 0 ? sets.changed : sets.must_scan) = paths;
        return sets;
    }
    ChildNames children(tree, tree.compute_index());
    for (const std::string& path : paths) {
        const FoundFolder at = find_path(children, path);
        sets.relist.push_back(at.folder);
        if (at.found && at.folder != 0) {
            sets.relist.push_back(tree.folders[at.folder].parent);
        }
    }
    return sets;
}

TEST(RescanFolders, MatchesAFullScanAfterRandomChanges) {
    std::map<std::string, int> tally;
    int compactions = 0;
    int root_rescans = 0;
    // BRAMWEX_TEST_SEED=n runs that seed alone, to look into a failure.
    const char* only = std::getenv("BRAMWEX_TEST_SEED");
    for (uint32_t seed = 1; seed <= 48; ++seed) {
        if (only != nullptr && std::to_string(seed) != only) {
            continue;
        }
        TempDir dir;
        RandomDisk disk(dir.path(), seed);
        ScanOptions options;
        options.threads = seed % 3 == 0 ? std::optional<uint32_t>(1) : std::nullopt;
        options.reclaimable = seed % 4 == 1;
        Pool pool = ok(build_pool(options.threads));
        Followed live = scan_followed(dir.path(), options);
        Tree& tree = live.tree;
        EXPECT_EQ(rescan_ok(live, {}, pool, options).kind, RescanOutcome::Kind::NoChanges);
        for (uint32_t round = 0; round < 5; ++round) {
            const std::string context = fmt::format("seed {} round {}", seed, round);
            SCOPED_TRACE(context);
            const Tree before = tree.clone();
            const std::vector<std::string> paths = change(disk, tally);
            const int how = std::max(static_cast<int>((seed + round) % 5) - 2, 0);
            RescanOutcome outcome = rescan_ok(live, deliver(how, before, paths), pool, options);
            if (outcome.kind == RescanOutcome::Kind::RootMustBeScanned) {
                ++root_rescans;
                EXPECT_EQ(tree.folders, before.folders) << context;
                outcome = rescan_ok(live, deliver(1, before, paths), pool, options);
            }
            const Tree fresh = ok(scan_tree(dir.path(), options));
            expect_same_folders(tree, fresh, dir.path(), context);
            expect_consistent_changes(outcome.changes, before, tree, dir.path(), context);
            EXPECT_EQ(outcome.kind == RescanOutcome::Kind::Changes, !outcome.changes.empty());
            if (tree.generation != before.generation) {
                // Removed folders and their names are dropped.
                ++compactions;
                EXPECT_EQ(tree.record_count(), fresh.record_count()) << context;
                EXPECT_EQ(tree.names->size(), fresh.names->size()) << context;
                continue;
            }
            // Without compaction every folder that stayed keeps its index:
            // only a folder replaced under the same name moves.
            const auto now = live_folders(tree);
            for (const auto& [path, index] : live_folders(before)) {
                if (const auto at = now.find(path); at != now.end() && index != at->second) {
                    EXPECT_GE(at->second, before.record_count()) << context << ": " << path;
                }
            }
        }
    }
    if (only == nullptr) {
        for (const auto& [what, how] : kChanges) {
            EXPECT_GT(tally[what], 0) << what;  // every kind of change was tried
        }
        EXPECT_GT(root_rescans, 0);
        EXPECT_GT(compactions, 0);
    }
}

TEST(RescanFolders, KeepsTheLargestFilesOfAFullScanWhenSizesTieAtTheCutoff) {
    TempDir dir;
    for (size_t k = 0; k <= LargestFiles::kCapacity; ++k) {
        write_file(dir / fmt::format("m/f{:04}", k), 4096);
    }
    make_dirs(dir / "a");
    Followed live = scan_followed(dir.path());
    Pool pool = ok(build_pool(std::nullopt));
    // As large as the smallest kept file and first by path: it takes a place.
    write_file(dir / "a/f", 4096);
    rescan_ok(live, {{"a/f"}, {}, {}}, pool);
    EXPECT_EQ(plain_largest(live.tree, dir.path()),
              plain_largest(ok(scan_tree(dir.path(), {})), dir.path()));
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
    Pool pool = ok(build_pool(2));

    write_file(dir / "sub/mnt/inside/big", 1 << 20);
    write_file(dir / "sub/file", 10000);
    make_dirs(dir / "sub/loop");
    const test::ScopedMount loop(dir.path(), dir / "sub/loop", nullptr, MS_BIND);
    if (!loop.mounted()) {
        GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
    }
    const RescanOutcome outcome = rescan_ok(
        live,
        {{"sub/mnt/inside/big", "sub/mnt", "sub/file", "sub/loop"}, {"sub/mnt/inside"}, {mount}},
        pool);

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
    rescan_ok(live, {{"sub/file"}, {}, {}}, pool);
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

TEST(RescanFolders, AFailedRescanLeavesTheTreeAsItWas) {
    TempDir parent;
    const std::string root = parent / "root";
    write_file(root + "/a/file", 5000);
    write_file(root + "/a/big", 300000);
    fs::create_hard_link(root + "/a/file", root + "/link");
    Pool pool = ok(build_pool(2));
    for (const bool throws : {true, false}) {
        Followed live = scan_followed(root);
        const Tree before = live.tree.clone();
        const size_t links = live.links.files.size();
        ScanOptions options;
        if (throws) {  // a job of the rescan throws
            options.stop = []() -> bool { throw std::bad_alloc(); };
            make_dirs(root + "/a/new/deeper");
            EXPECT_THROW(rescan_folders(live.tree, live.links, {{"a/new"}, {}, {}}, options, pool),
                         std::bad_alloc);
        } else {  // the root went
            test::remove_tree_at(AT_FDCWD, root);
            const auto outcome =
                rescan_folders(live.tree, live.links, {{"a/file"}, {}, {}}, options, pool);
            ASSERT_FALSE(outcome);
            EXPECT_EQ(outcome.error().code, ENOENT);
        }
        EXPECT_EQ(live.tree.folders, before.folders) << throws;
        EXPECT_EQ(live.tree.folder_index, before.folder_index) << throws;
        EXPECT_EQ(live.tree.files, before.files) << throws;
        EXPECT_EQ(live.tree.generation, before.generation) << throws;
        EXPECT_EQ(live.links.files.size(), links) << throws;
    }
}

TEST(RescanFolders, AStoppedRescanKeepsTheFoldersItListedInFullAndIsMarkedStopped) {
    Pool pool = ok(build_pool(2));
    for (const bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt);
        TempDir dir;
        make_dirs(dir / "a");
        // More entries than one batch of a listing: an interrupt is asked
        // inside it, a stop test is not.
        for (int k = 0; k < 3000; ++k) {
            write_file(dir / fmt::format("wide/{:05}", k), 0);
        }
        Followed live = scan_followed(dir.path());
        Tree& tree = live.tree;
        write_file(dir / "a/file", 8192);
        write_file(dir / "a/new/deep/file", 8192);
        write_file(dir / "wide/new", 8192);  // unseen when the listing is cut short

        ScanOptions options;
        (interrupt ? options.interrupt : options.stop) = [] { return true; };
        const RescanOutcome outcome =
            rescan_ok(live, {{"a/file", "a/new", "wide/new"}, {}, {}}, pool, options);
        EXPECT_TRUE(tree.stopped);
        EXPECT_FALSE(live_folders(tree).contains("a/new"));
        ASSERT_EQ(outcome.changes.size(), interrupt ? 1u : 2u);
        EXPECT_EQ(outcome.changes[0].path, dir / "a");
        EXPECT_EQ(outcome.changes[0].delta,
                  static_cast<int64_t>(test::allocated_of(dir / "a/file")));
        if (!interrupt) {
            EXPECT_EQ(outcome.changes[1].path, dir / "wide");  // listed whole
        }
    }
}

TEST(RescanFolders, AGoneFolderTakesItsGoneAncestorsWithIt) {
    Pool pool = ok(build_pool(2));
    // (what is removed, what the change names)
    for (const auto& [removed, top] : {std::pair{"a", "a"}, std::pair{"a/b", "a/b"}}) {
        SCOPED_TRACE(removed);
        TempDir dir;
        write_file(dir / "keep/file", 5000);
        write_file(dir / "a/file", 5000);
        write_file(dir / "a/b/file", 5000);
        write_file(dir / "a/b/c/d/file", 70000);
        Followed live = scan_followed(dir.path());
        const Tree before = live.tree.clone();
        const auto folders = live_folders(live.tree);
        // The folders a browser inside a/b/c follows: only the deepest are
        // listed again, never the ancestors that went with them.
        const std::vector<uint32_t> relist{folders.at("a/b"), folders.at("a/b/c"),
                                           folders.at("a/b/c/d")};
        const uint64_t old_total = total_at(live.tree, top);
        test::remove_tree_at(AT_FDCWD, dir / removed);

        const RescanOutcome outcome = rescan_ok(live, {{}, {}, relist}, pool);
        ASSERT_EQ(outcome.changes.size(), 1u);
        EXPECT_EQ(outcome.changes[0].path, dir / top);
        EXPECT_EQ(outcome.changes[0].delta, -static_cast<int64_t>(old_total));
        EXPECT_FALSE(live_folders(live.tree).contains(top));
        expect_same_folders(live.tree, scan_followed(dir.path()).tree, dir.path(), removed);
        expect_consistent_changes(outcome.changes, before, live.tree, dir.path(), removed);
    }
}

// A file written through a link that then goes, alone or with its folder,
// is counted at the size it has now, though the folders holding its other
// links are not named. A counts it (first in name order) before.
TEST(RescanFolders, ALinkLeftCountsTheFileAtItsSizeNow) {
    Pool pool = ok(build_pool(2));
    for (const char* gone : {"A/x", "A", "B/y", "B"}) {
        for (const int links : {2, 3}) {
            const std::string context = fmt::format("{} gone, {} links", gone, links);
            SCOPED_TRACE(context);
            TempDir dir;
            write_file(dir / "A/x", 4096);
            write_file(dir / "B/other", 8192);
            make_dirs(dir / "C");
            fs::create_hard_link(dir / "A/x", dir / "B/y");
            if (links == 3) {
                fs::create_hard_link(dir / "A/x", dir / "C/z");
            }
            Followed live = scan_followed(dir.path());
            const Tree before = live.tree.clone();
            const std::string through = dir / (gone[0] == 'A' ? "A/x" : "B/y");
            std::ofstream(through, std::ios::app | std::ios::binary) << std::string(1 << 20, 'g');
            fs::remove_all(dir / gone);

            const RescanOutcome outcome = rescan_ok(live, {{gone}, {}, {}}, pool);
            expect_same_folders(live.tree, scan_followed(dir.path()).tree, dir.path(), context);
            expect_consistent_changes(outcome.changes, before, live.tree, dir.path(), context);
        }
    }
}

// A folder replaced under its name by one with subfolders of the same names,
// as deployments do: nothing of the old one's subtree is kept, whether the
// change comes as the paths an event stream names or as the folder listed
// alone by its index, and every record carries the identity of the folder
// now at its path. A tree whose records carry no identity pairs by name.
TEST(RescanFolders, AFolderReplacedUnderItsNameIsScannedAgainWhole) {
    Pool pool = ok(build_pool(2));
    for (const bool old_inside : {true, false}) {
        for (const bool alone : {false, true}) {
            const std::string context = fmt::format("old {}, {}", old_inside ? "inside" : "outside",
                                                    alone ? "listed alone" : "as events name it");
            SCOPED_TRACE(context);
            TempDir dir;
            const std::string root = dir / "root";
            write_file(root + "/P/X/lib/deep/big", 400000);
            write_file(root + "/P/X/lib/f", 4096);
            make_dirs(root + "/Q");
            write_file(dir / "new/lib/deep/small", 4096);
            Followed live = scan_followed(root);
            const auto before = live_folders(live.tree);
            const Tree old_tree = live.tree.clone();
            fs::rename(root + "/P/X", old_inside ? root + "/Q/old" : dir / "away");
            fs::rename(dir / "new", root + "/P/X");

            ChangeSets changes;
            if (alone) {
                changes.relist = {before.at("P/X"), before.at("Q")};
            } else {
                changes.changed = {"P/X", old_inside ? "Q/old" : "P/X"};
            }
            const RescanOutcome outcome = rescan_ok(live, changes, pool);
            expect_same_folders(live.tree, scan_followed(root).tree, root, context);
            expect_consistent_changes(outcome.changes, old_tree, live.tree, root, context);
            for (const auto& [path, index] : live_folders(live.tree)) {
                EXPECT_EQ(live.tree.folders[index].file_id,
                          static_cast<uint32_t>(test::lstat_of(root + "/" + path).st_ino))
                    << context << ": '" << path << "'";
            }
        }
    }
    TempDir dir;
    write_file(dir / "P/X/lib/f", 4096);
    Followed live = scan_followed(dir.path());
    for (FolderRecord& record : live.tree.folders) {
        record.file_id = 0;
    }
    const auto before = live_folders(live.tree);
    rescan_ok(live, {{}, {}, {before.at("P"), before.at("P/X")}}, pool);
    EXPECT_EQ(live_folders(live.tree), before);
}

// A file linked while still empty, then grown through its first link, whose
// folder moves (and comes first in name order) and loses that link: the
// folder holding the link left counts the file at its size now.
class LinkedWhileEmpty : public testing::TestWithParam<bool> {};

TEST_P(LinkedWhileEmpty, IsCountedAtItsSizeWhenItsFirstLinkGoes) {
    const bool apart = GetParam();  // the move and the unlink in two rescans
    Pool pool = ok(build_pool(2));
    TempDir dir;
    write_file(dir / "z/S/a", 0);
    make_dirs(dir / "x/F");
    Followed live = scan_followed(dir.path());
    fs::create_hard_link(dir / "z/S/a", dir / "x/F/c");
    rescan_ok(live, {{"x/F/c"}, {}, {}}, pool);
    // Synchronous, so that no block is allocated later, at writeback.
    const int fd = ::open((dir / "z/S/a").c_str(), O_WRONLY | O_APPEND | O_DSYNC);
    ASSERT_GE(fd, 0);
    const std::string grown(50318, 'g');
    ASSERT_EQ(::write(fd, grown.data(), grown.size()), static_cast<ssize_t>(grown.size()));
    ::close(fd);
    fs::rename(dir / "z/S", dir / "nS");
    if (apart) {
        rescan_ok(live, {{"z/S/a", "z/S", "nS"}, {}, {}}, pool);
        expect_same_folders(live.tree, scan_followed(dir.path()).tree, dir.path(), "moved");
    }
    fs::remove(dir / "nS/a");
    rescan_ok(live, {{"z/S/a", "z/S", "nS", "nS/a"}, {}, {}}, pool);
    expect_same_folders(live.tree, scan_followed(dir.path()).tree, dir.path(), "unlinked");
}
INSTANTIATE_TEST_SUITE_P(RescanFolders, LinkedWhileEmpty, testing::Bool());

// Listing many folders again, each with a subfolder kept in the tree and one
// to scan anew, waits for descriptors under a low limit instead of failing.
// Run alone, in a process whose limit was lowered before it started.
TEST(RescanFolders, DISABLED_ListsManyFoldersAgainUnderTheLimitItRunsWith) {
    TempDir dir;
    for (int k = 0; k < 150; ++k) {
        write_file(dir / fmt::format("d{:03}/kept/file", k), 4096);
    }
    Followed live = scan_followed(dir.path());
    std::vector<uint32_t> relist;
    for (const auto& [path, index] : live_folders(live.tree)) {
        if (!path.empty() && path.find('/') == path.npos) {
            relist.push_back(index);
        }
    }
    for (int k = 0; k < 150; ++k) {
        write_file(dir / fmt::format("d{:03}/file", k), 8192);
        write_file(dir / fmt::format("d{:03}/new/deeper/file", k), 4096);
    }
    for (const uint32_t threads : {1u, 4u}) {
        SCOPED_TRACE(threads);
        Followed again{live.tree.clone(), live.links};
        ScanOptions options;
        options.threads = threads;
        Pool pool = ok(build_pool(options.threads));
        rescan_ok(again, {{}, {}, relist}, pool, options);
        for (const FolderRecord& folder : again.tree.folders) {
            EXPECT_EQ(folder.error_number, 0);
        }
        expect_same_folders(again.tree, scan_followed(dir.path()).tree, dir.path(), "low limit");
    }
}

TEST(RescanFolders, ListsManyFoldersAgainWithinTheOpenFileLimit) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Soft and hard: a scan raises its soft limit as far as it may.
        const rlimit low{64, 64};
        char filter[] =
            "--gtest_filter=RescanFolders.DISABLED_ListsManyFoldersAgainUnderTheLimitItRunsWith";
        char disabled[] = "--gtest_also_run_disabled_tests";
        char self[] = "/proc/self/exe";
        char* argv[] = {self, filter, disabled, nullptr};
        if (::setrlimit(RLIMIT_NOFILE, &low) == 0) {
            ::execv(self, argv);
        }
        ::_exit(127);
    }
    // A rescan waiting for descriptors that never come back must not hang
    // the run.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the rescan under a low limit did not end";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace bramwex::core
