// The largest files of trees whose files have several names: every file
// once, under the byte-smallest of its names in the folder counting it,
// equal sizes ordered by whole path, whatever the thread count and the order
// listings finish in, and after rescans too.
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/live/rescan.hpp"
#include "core/scan/scan.hpp"
#include "tests/result_ok.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using test::lstat_of;
using test::make_dirs;
using test::ok;
using test::TempDir;
using test::write_file;

constexpr size_t kBlock = 4096;

// (path relative to the root, size), in list order.
using Listed = std::vector<std::pair<std::string, uint64_t>>;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// The list a walk in name order gives: each folder's files when the walk
// reaches it, then its subfolders by byte-wise name. A file with several
// names counts in the first folder met holding one, under the byte-smallest
// of its names there. Sorted by size (larger first), then by the bytes of
// the whole path; files without bytes are never listed.
Listed expected_largest(const std::string& root, size_t n) {
    struct Linked {
        std::string folder;
        std::string name;
        uint64_t size = 0;
    };
    std::map<std::pair<dev_t, ino_t>, Linked> linked;
    Listed files;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string folder = pending.back();
        pending.pop_back();
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root + "/" + folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        std::vector<std::string> subfolders;
        for (const std::string& name : names) {
            const struct stat st = lstat_of(root + "/" + join(folder, name));
            const auto size = static_cast<uint64_t>(st.st_blocks) * 512;
            if (S_ISDIR(st.st_mode)) {
                subfolders.push_back(join(folder, name));
            } else if (st.st_nlink < 2) {
                files.emplace_back(join(folder, name), size);
            } else if (auto [at, first] = linked.try_emplace({st.st_dev, st.st_ino}); first) {
                at->second = {folder, name, size};
            } else if (at->second.folder == folder && name < at->second.name) {
                at->second.name = name;
            }
        }
        // Depth first, the smallest name next.
        pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
    }
    for (const auto& [key, file] : linked) {
        files.emplace_back(join(file.folder, file.name), file.size);
    }
    std::erase_if(files, [](const auto& file) { return file.second == 0; });
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    files.resize(std::min(n, files.size()));
    return files;
}

// Where two lists part, or nothing when they are the same.
std::string difference(const Listed& got, const Listed& want) {
    const auto [at, _] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (at == got.end() && got.size() == want.size()) {
        return "";
    }
    const auto k = static_cast<size_t>(at - got.begin());
    const auto show = [&](const Listed& list) {
        return k < list.size() ? fmt::format("{} ({})", list[k].first, list[k].second)
                               : std::string("the end");
    };
    return fmt::format("entry {} of {} and {}: {} where {} belongs", k, got.size(), want.size(),
                       show(got), show(want));
}

Listed listed_by(const Tree& tree, const std::string& root) {
    Listed files;
    for (const FilePath& file : tree.largest_file_paths(LargestFiles::kCapacity)) {
        files.emplace_back(file.path.substr(root.size() + 1), file.size);
    }
    return files;
}

// Names whose byte order differs from the order of the paths they start
// ("x-y/…" < "x.z/…" < "x/…" while x < x-y < x.z) and from creation order,
// prefixes of one another, a space, bytes above 0x7f.
const std::vector<std::string> kNames = {"x",  "x-y", "x.z",      "xy",   "x y", "a", "a-",
                                         "ab", "B",   "\xc3\xa9", "\xff", "m.n", "m"};

struct RandomTree {
    RandomTree(std::string root_, uint32_t seed) : root(std::move(root_)), random(seed) {}

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }
    std::string abs(const std::string& relative) const { return join(root, relative); }
    std::string odd_name() {
        std::string name = kNames[pick(kNames.size())];
        return pick(2) == 0 ? name : name + kNames[pick(kNames.size())];
    }
    // A name not taken in folder: an odd one if it is free, else with a number.
    std::string free_name(const std::string& folder) {
        std::string name = odd_name();
        while (fs::exists(abs(join(folder, name)))) {
            name = odd_name() + std::to_string(next++);
        }
        return name;
    }
    std::string any(const std::vector<std::string>& paths) { return paths[pick(paths.size())]; }

    void add_folders(size_t count) {
        for (; count > 0; --count) {
            const std::string parent = any(folders);
            folders.push_back(join(parent, free_name(parent)));
            make_dirs(abs(folders.back()));
        }
    }
    std::string add_file(const std::string& folder, size_t size) {
        const std::string path = join(folder, free_name(folder));
        write_file(abs(path), size);
        files.push_back(path);
        return path;
    }
    // Another name for file: in its own folder or anywhere.
    std::string add_link(const std::string& file) {
        const std::string folder =
            pick(3) == 0 ? fs::path(file).parent_path().string() : any(folders);
        const std::string path = join(folder, free_name(folder));
        fs::create_hard_link(abs(file), abs(path));
        files.push_back(path);
        return path;
    }

    std::string root;
    std::mt19937 random;
    size_t next = 0;
    std::vector<std::string> folders{""};
    std::vector<std::string> files;  // every name of every file
};

std::string threads_name(std::optional<uint32_t> threads) {
    return threads ? fmt::format("{} threads", *threads) : "automatic threads";
}

const std::optional<uint32_t> kThreads[] = {1u, 2u, 8u, std::nullopt};

// Scans root at every thread count, a few times each, against the walk.
void expect_scans_list_as_walked(const std::string& root) {
    const Listed expected = expected_largest(root, LargestFiles::kCapacity);
    for (const std::optional<uint32_t> threads : kThreads) {
        for (int run = 0; run < 3; ++run) {
            SCOPED_TRACE(fmt::format("{}, run {}", threads_name(threads), run));
            ScanOptions options;
            options.threads = threads;
            options.reader = Reader::Portable;
            EXPECT_EQ(difference(listed_by(ok(scan_tree(root, options)), root), expected), "");
        }
    }
}

TEST(LargestFiles, AFileWithSeveralNamesIsListedOnceByTheNameTheFolderCountingItGivesIt) {
    {
        SCOPED_TRACE("counted deep below an earlier name, listed after many of its size");
        TempDir dir;
        make_dirs(dir / "t/b/x");
        write_file(dir / "t/c/F", 1);
        fs::create_hard_link(dir / "t/c/F", dir / "t/b/x/F");
        for (int k = 0; k < 1500; ++k) {
            write_file(dir / fmt::format("t/c/{:04}", k), 1);
        }
        const Listed expected = expected_largest(dir / "t", LargestFiles::kCapacity);
        ASSERT_EQ(expected.front().first, "b/x/F");
        expect_scans_list_as_walked(dir / "t");
    }
    {
        SCOPED_TRACE("counted where the walk meets it first, but last by path");
        TempDir dir;
        write_file(dir / "x/F", 1);
        make_dirs(dir / "x-y");
        fs::create_hard_link(dir / "x/F", dir / "x-y/F");
        for (int k = 0; k < 1000; ++k) {
            write_file(dir / fmt::format("x.z/{}", k), 1);
        }
        const Listed expected = expected_largest(dir.path(), LargestFiles::kCapacity);
        ASSERT_EQ(expected.back().first, "x.z/999");
        expect_scans_list_as_walked(dir.path());
    }
    {
        SCOPED_TRACE("names in one folder");
        TempDir dir;
        write_file(dir / "m/b", 8192);
        fs::create_hard_link(dir / "m/b", dir / "m/c");
        fs::create_hard_link(dir / "m/b", dir / "m/a");
        make_dirs(dir / "z");
        fs::create_hard_link(dir / "m/b", dir / "z/d");
        ASSERT_EQ(expected_largest(dir.path(), 1), (Listed{{"m/a", 8192}}));
        expect_scans_list_as_walked(dir.path());
    }
}

// 1,200 files of one block, so the cut at 1,000 falls among equal sizes,
// a few larger ones, and names for some of them across folders and within
// one.
TEST(LargestFiles, ScansOfRandomTreesWithLinksListAsAWalkInNameOrder) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(fmt::format("seed {}", seed));
        TempDir dir;
        RandomTree tree(dir / "root", seed);
        make_dirs(tree.root);
        tree.add_folders(16);
        for (int k = 0; k < 1200; ++k) {
            tree.add_file(tree.any(tree.folders), kBlock);
        }
        for (int k = 0; k < 40; ++k) {
            tree.add_file(tree.any(tree.folders), kBlock * (2 + tree.pick(4)));
        }
        const std::vector<std::string> singles = tree.files;
        for (int k = 0; k < 300; ++k) {
            const std::string file = tree.add_link(tree.any(singles));
            if (tree.pick(4) == 0) {
                tree.add_link(file);
            }
        }
        expect_scans_list_as_walked(tree.root);
    }
}

// Changes as an event stream names them: every entry created, removed or
// written through, never the other names of a file.
struct Changes {
    explicit Changes(RandomTree& tree_) : tree(tree_) {}

    void new_link() { changed.push_back(tree.add_link(tree.any(tree.files))); }
    void remove_name() {
        const std::string file = tree.any(tree.files);
        fs::remove(tree.abs(file));
        std::erase(tree.files, file);
        changed.push_back(file);
    }
    // Through one name; the others see the new size too.
    void grow() {
        const std::string file = tree.any(tree.files);
        std::ofstream(tree.abs(file), std::ios::app | std::ios::binary)
            << std::string(kBlock * (1 + tree.pick(2)), 'g');
        changed.push_back(file);
    }
    void new_file() {
        changed.push_back(tree.add_file(tree.any(tree.folders), kBlock * (1 + tree.pick(3))));
    }
    // A new folder, often high up and so early in name order, with a name
    // of a file, often of one that had several already: only a walk of the
    // new folder meets it there.
    void new_folder_with_link() {
        const std::string parent = tree.pick(2) == 0 ? "" : tree.any(tree.folders);
        const std::string folder = join(parent, tree.free_name(parent));
        make_dirs(tree.abs(folder));
        tree.folders.push_back(folder);
        changed.push_back(folder);
        std::vector<std::string> linked = tree.files;
        std::erase_if(linked,
                      [&](const auto& file) { return lstat_of(tree.abs(file)).st_nlink < 2; });
        const std::string file =
            linked.empty() || tree.pick(2) == 0 ? tree.any(tree.files) : tree.any(linked);
        const std::string path = join(folder, tree.free_name(folder));
        fs::create_hard_link(tree.abs(file), tree.abs(path));
        tree.files.push_back(path);
        changed.push_back(path);
    }
    void remove_folder() {
        if (tree.folders.size() < 3) {
            return;
        }
        const std::string folder = tree.folders[1 + tree.pick(tree.folders.size() - 1)];
        test::remove_tree_at(AT_FDCWD, tree.abs(folder));
        const auto below = [&](const std::string& path) {
            return path.starts_with(folder + "/") || path == folder;
        };
        std::erase_if(tree.folders, below);
        std::erase_if(tree.files, below);
        changed.push_back(folder);
    }

    RandomTree& tree;
    std::vector<std::string> changed;
};

// Fewer than 1,000 files, so a rescan never drops a file for lack of room.
TEST(LargestFiles, RescansOfRandomTreesWithLinksListAsAWalkInNameOrder) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        const std::optional<uint32_t> threads = kThreads[seed % std::size(kThreads)];
        SCOPED_TRACE(fmt::format("seed {}, {}", seed, threads_name(threads)));
        TempDir dir;
        RandomTree tree(dir / "root", seed);
        make_dirs(tree.root);
        tree.add_folders(10);
        for (int k = 0; k < 120; ++k) {
            tree.add_file(tree.any(tree.folders), kBlock * (1 + tree.pick(3)));
        }
        const std::vector<std::string> singles = tree.files;
        for (int k = 0; k < 40; ++k) {
            tree.add_link(tree.any(singles));
        }
        ScanOptions options;
        options.threads = threads;
        options.reader = Reader::Portable;
        LinkHolders holders;
        ScanHooks hooks;
        hooks.link_holders = &holders;
        const Scanner scanner{std::make_shared<Pool>(ok(build_pool(threads))), options};
        Tree followed = ok(scanner.scan(tree.root, hooks));
        EXPECT_EQ(difference(listed_by(followed, tree.root), expected_largest(tree.root, 1000)),
                  "");
        for (int round = 0; round < 8; ++round) {
            SCOPED_TRACE(fmt::format("round {}", round));
            Changes changes(tree);
            for (size_t k = 1 + tree.pick(3); k > 0; --k) {
                switch (tree.pick(6)) {
                    case 0:
                        changes.new_link();
                        break;
                    case 1:
                        changes.remove_name();
                        break;
                    case 2:
                        changes.grow();
                        break;
                    case 3:
                        changes.new_file();
                        break;
                    case 4:
                        changes.new_folder_with_link();
                        break;
                    default:
                        changes.remove_folder();
                        break;
                }
            }
            ok(rescan_folders(followed, holders, {changes.changed, {}, {}}, options,
                              *scanner.pool));
            ASSERT_EQ(difference(listed_by(followed, tree.root), expected_largest(tree.root, 1000)),
                      "");
        }
    }
}

}  // namespace
}  // namespace bramwex::core
