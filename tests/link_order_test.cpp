// A file with links in several folders counts in the folder a walk in name
// order meets first, whatever the thread count, the scheduling or the
// reader, and rescans keep it there.
#include <sys/stat.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/live/rescan.hpp"
#include "core/scan/scan.hpp"
#include "tests/result_ok.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using test::allocated_of;
using test::lstat_of;
using test::make_dirs;
using test::TempDir;
using test::write_file;

// Names whose byte order differs from their creation order and from a plain
// comparison of whole paths ("a b" sorts after "a" but "a b/x" before "a/x"
// as strings), with bytes above 0x7f.
const std::vector<std::string> kNames = {"z", "a b", "a", "a-b", "B", "\xc3\xa9", "a.b", "m", "ab"};

// Folders at several depths, files of a few sizes, and links to them from
// other folders (some files get three links, some two in one folder).
void build_linked_tree(const std::string& root, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    };
    std::vector<std::string> folders{root}, files;
    for (int k = 0; k < 24; ++k) {
        const std::string parent = folders[pick(folders.size())];
        const std::string path = parent + "/" + kNames[pick(kNames.size())];
        if (!fs::exists(path)) {
            make_dirs(path);
            folders.push_back(path);
        }
    }
    for (int k = 0; k < 40; ++k) {
        const std::string folder = folders[pick(folders.size())];
        if (files.empty() || pick(3) == 0) {
            const std::string path = fmt::format("{}/f{}", folder, k);
            write_file(path, 4096 * (1 + pick(20)));
            files.push_back(path);
        } else {
            fs::create_hard_link(files[pick(files.size())], fmt::format("{}/l{}", folder, k));
        }
    }
}

// Relative path of a folder below root ("" for root itself).
std::string relative(const std::string& root, const std::string& folder) {
    return folder == root ? "" : fs::relative(folder, root).string();
}

// What a scan should find: per folder, its own bytes, and per multi-link
// file, the folder counting it, by walking in name order.
struct Expected {
    std::map<std::string, uint64_t> own;
    std::map<uint64_t, std::string> counted_in;  // inode -> folder
};

void walk_in_name_order(const std::string& root, const std::string& folder, Expected& out) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());  // byte-wise
    uint64_t own = allocated_of(folder);
    std::vector<std::string> subfolders;
    for (const std::string& name : names) {
        const struct stat st = lstat_of(folder + "/" + name);
        if (S_ISDIR(st.st_mode)) {
            subfolders.push_back(folder + "/" + name);
        } else if (st.st_nlink < 2 ||
                   out.counted_in.try_emplace(st.st_ino, relative(root, folder)).second) {
            own += static_cast<uint64_t>(st.st_blocks) * 512;
        }
    }
    out.own[relative(root, folder)] = own;
    for (const std::string& subfolder : subfolders) {
        walk_in_name_order(root, subfolder, out);
    }
}

// The same facts read from a tree, plus the largest files as (folder, name,
// size); removed folders are left out.
struct Found {
    std::map<std::string, uint64_t> own;
    std::map<uint64_t, std::string> counted_in;
    std::set<std::tuple<std::string, std::string, uint64_t>> files;
    friend bool operator==(const Found&, const Found&) = default;
};

Found found_in(const Tree& tree) {
    Found found;
    for (uint32_t k = 0; k < tree.record_count(); ++k) {
        if (!(tree.folders[k].flags & kFlagRemoved)) {
            found.own[tree.relative_path(k)] = tree.folders[k].own;
        }
    }
    for (const auto& [key, folder] : tree.folder_index) {
        found.counted_in[key.file_id] = tree.relative_path(folder);
    }
    for (const FileRecord& file : tree.files) {
        found.files.insert({tree.relative_path(file.folder), file.name, file.size});
    }
    return found;
}

using test::ok;

void expect_as_walked(const Found& found, const Expected& expected) {
    EXPECT_EQ(found.own, expected.own);
    EXPECT_EQ(found.counted_in, expected.counted_in);
}

TEST(LinkOrder, ScansCountEachLinkedFileInTheFolderANameOrderWalkMeetsFirst) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        TempDir dir;
        const std::string root = dir / "root";
        make_dirs(root);
        build_linked_tree(root, seed);
        Expected expected;
        walk_in_name_order(root, root, expected);
        std::optional<Found> first;
        for (const uint32_t threads : {1u, 2u, 8u}) {
            for (int repeat = 0; repeat < 3; ++repeat) {
                SCOPED_TRACE(fmt::format("{} threads, round {}", threads, repeat));
                ScanOptions options;
                options.threads = threads;
                options.reader = Reader::Portable;
                // Once with the bulk reader, whose reclaimable sizes are the
                // allocated ones here: they move with the bytes.
                options.reclaimable = repeat == 1;
                const Tree tree =
                    options.reclaimable
                        ? ok(detail::scan_tree_with_read_mode(
                              root, options, sys::ReadMode{true, sys::ReclaimableMode::Private}))
                        : ok(scan_tree(root, options));
                const Found found = found_in(tree);
                expect_as_walked(found, expected);
                if (options.reclaimable) {
                    ASSERT_EQ(tree.reclaimable_sizes.size(), tree.record_count());
                    for (uint32_t k = 0; k < tree.record_count(); ++k) {
                        EXPECT_EQ(tree.reclaimable_sizes[k], tree.folders[k].own)
                            << tree.relative_path(k);
                    }
                }
                // The largest files name a link in the folder counting it.
                for (const auto& [folder, name, size] : found.files) {
                    const std::string path = folder.empty() ? root : root + "/" + folder;
                    const struct stat st = lstat_of(path + "/" + name);
                    if (st.st_nlink > 1) {
                        EXPECT_EQ(expected.counted_in.at(st.st_ino), folder) << name;
                    }
                }
                if (!first) {
                    first = found;
                }
                EXPECT_EQ(found.files, first->files);
            }
        }
    }
}

TEST(LinkOrder, RescansKeepLinksWhereAFullScanCountsThem) {
    TempDir dir;
    const std::string root = dir / "root";
    make_dirs(root);
    build_linked_tree(root, 7);
    // Met first in name order, listed last: deep below an early name.
    write_file(root + "/z/file", 40960);
    make_dirs(root + "/a/b/c");
    fs::create_hard_link(root + "/z/file", root + "/a/b/c/link");
    fs::create_hard_link(root + "/z/file", root + "/a/b/link");
    Pool pool = ok(build_pool(2));
    for (const uint32_t threads : {1u, 8u}) {
        SCOPED_TRACE(threads);
        ScanOptions options;
        options.threads = threads;
        options.reader = Reader::Portable;
        LinkHolders holders;
        ScanHooks hooks;
        hooks.link_holders = &holders;
        const Scanner scanner{std::make_shared<Pool>(ok(build_pool(threads))), options};
        Tree tree = ok(scanner.scan(root, hooks));
        Expected expected;
        walk_in_name_order(root, root, expected);
        const Found scanned = found_in(tree);
        expect_as_walked(scanned, expected);

        // Nothing changed on disk: every folder listed again, or only the
        // links, moves nothing and reports nothing.
        ChangeSets everything;
        for (uint32_t k = 0; k < tree.record_count(); ++k) {
            everything.relist.push_back(k);
        }
        const ChangeSets links{{"z/file", "a/b/link", "a/b/c/link"}, {}, {}};
        for (const ChangeSets& changes : {everything, links}) {
            const auto outcome = ok(rescan_folders(tree, holders, changes, options, pool));
            EXPECT_EQ(outcome.kind, RescanOutcome::Kind::NoChanges);
            EXPECT_EQ(found_in(tree), scanned);
        }

        // The counting folder loses its link: the next one in name order
        // counts the file, as a full scan would.
        fs::remove(root + "/a/b/link");
        ok(rescan_folders(tree, holders, {{"a/b/link"}, {}, {}}, options, pool));
        Expected after;
        walk_in_name_order(root, root, after);
        expect_as_walked(found_in(tree), after);
        EXPECT_EQ(after.counted_in.at(lstat_of(root + "/z/file").st_ino), "a/b/c");
        fs::create_hard_link(root + "/z/file", root + "/a/b/link");
    }
}

}  // namespace
}  // namespace bramwex::core
