#include "core/tree/tree_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/tree/largest_files.hpp"

namespace bramwex::core {
namespace {

std::vector<LargeFileCandidate> candidates(std::vector<uint64_t> sizes) {
    std::vector<LargeFileCandidate> out;
    for (const uint64_t size : sizes) {
        out.push_back({size, "f" + std::to_string(size)});
    }
    return out;
}

std::multiset<uint64_t> sizes_of(const std::vector<FileRecord>& files) {
    std::multiset<uint64_t> sizes;
    for (const FileRecord& file : files) {
        sizes.insert(file.size);
    }
    return sizes;
}

TEST(LargestFiles, KeepsOnlyTheThousandLargest) {
    LargestFiles files;
    std::vector<uint64_t> first(999);
    std::iota(first.begin(), first.end(), 1);
    // sizes merged, their folder, then how many kept files are from folders
    // 0 and 1, and the threshold
    const std::tuple<std::vector<uint64_t>, uint32_t, size_t, uint64_t> steps[] = {
        {first, 1, 999, 0},               // no threshold until the heap is full
        {{1000}, 1, 1000, 0},             // the smallest size may still enter on a tie
        {{1}, 2, 1000, 0},                // the smallest size with a greater path does not
        {{2}, 2, 999, 1},                 // one byte more replaces the smallest
        {{5000, 3, 5001, 4}, 3, 997, 3},  // earlier entries raise the bar for later ones
    };
    for (const auto& [sizes, folder, below_two, threshold] : steps) {
        auto batch = candidates(sizes);
        files.merge(batch, folder);
        EXPECT_EQ(files.copy_below(2).size(), below_two) << sizes[0];
        EXPECT_EQ(files.threshold(), threshold) << sizes[0];
    }
    std::multiset<uint64_t> expected{4, 4, 5000, 5001};
    for (uint64_t size = 5; size <= 1000; ++size) {
        expected.insert(size);
    }
    EXPECT_EQ(sizes_of(files.take()), expected);
}

TEST(LargestFiles, PopsTheSmallestFirstAndAmongEqualSizesTheGreatestPath) {
    // Folder k's path is "dk", folder 0 (the root) has none.
    const std::vector<std::string> names{"", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9"};
    LargestFiles files([&names](uint32_t folder) -> std::optional<FolderLink> {
        return FolderLink{folder == 0 ? kNoParent : 0, names.at(folder)};
    });
    const std::vector<FileRecord> ordered{
        {"z", 3, 9}, {"e", 5, 0},  {"a", 5, 2}, {"\xff", 5, 1},
        {"b", 5, 1}, {"ab", 5, 1}, {"a", 5, 1}, {"", 5, 1},
    };
    std::lock_guard lock(files.mutex());
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
        files.push(*it);
    }
    files.push({"b", 1, 0});
    EXPECT_EQ(files.pop(), (FileRecord{"b", 1, 0}));
    for (const FileRecord& expected : ordered) {
        EXPECT_EQ(files.pop(), expected);
    }
}

// Among equal sizes the heap keeps the files of the smallest paths, as bytes:
// a tree of deep chains with branches at every depth, names that are
// prefixes of one another or differ by a byte just below '/' ("a/b" against
// "a.b/..."), and folders of one name in one parent (as a rescan can leave).
TEST(LargestFiles, TiesFollowTheByteOrderOfWholePaths) {
    const std::vector<std::string> folder_names{"a", "a.b", "a-b", "ab", "b", "a b", "\xff"};
    const std::vector<std::string> file_names{"a", "a.b", "b", "\x01", "ab"};
    TreeBuilder builder("/root", false);
    std::vector<uint32_t> ids(folder_names.size());
    std::vector<std::string_view> views(folder_names.begin(), folder_names.end());
    builder.intern_names(views, ids);

    std::vector<std::string> paths{""};  // of each folder, with a '/' after all but the root
    std::mt19937 random(7);
    std::vector<std::string> expected;
    builder.add_folder({0, kNoParent, 0, 0, 0, 0}, 0);
    for (uint32_t folder = 0; folder < 400; ++folder) {
        if (folder > 0) {
            // Mostly one level below the last folder, so chains run a hundred deep.
            const uint32_t parent = random() % 10 < 7 ? folder - 1 : random() % folder;
            const size_t name = random() % folder_names.size();
            ASSERT_EQ(builder.add_folder({0, parent, ids[name], 0, 0, 0}, 0), folder);
            paths.push_back(paths[parent] + folder_names[name] + "/");
        }
        std::vector<LargeFileCandidate> batch;
        for (const std::string& name : file_names) {
            if (random() % 3 != 0) {
                batch.push_back({4096, name});
                expected.push_back(paths[folder] + name);
            }
        }
        builder.largest_files().merge(batch, folder);
    }
    ASSERT_GT(expected.size(), LargestFiles::kCapacity);
    std::sort(expected.begin(), expected.end());
    expected.resize(LargestFiles::kCapacity);

    LargestFiles& files = builder.largest_files();
    std::vector<std::string> popped;
    std::lock_guard lock(files.mutex());
    while (files.size() > 0) {
        const FileRecord file = files.pop();
        popped.push_back(paths[file.folder] + file.name);
    }
    std::reverse(popped.begin(), popped.end());
    EXPECT_EQ(popped, expected);
}

TEST(TreeBuilder, SnapshotsCopyTheRecordsSoFarAndFinishHandsOverEverything) {
    TreeBuilder builder("/scan/root", true);
    std::vector<std::string_view> names{"a"};
    std::vector<uint32_t> ids(1);
    builder.intern_names(names, ids);
    auto batch = candidates({100});
    builder.largest_files().merge(batch, 0);
    EXPECT_FALSE(snapshot(builder.parts())) << "names and files alone make no tree";

    const FolderRecord root{100, kNoParent, 0, 11, 0, 0};
    const FolderRecord child{7, 0, 1, 12, kFlagUnreadable, 13};
    EXPECT_EQ(builder.add_folder(root, 100), 0u);
    EXPECT_EQ(builder.add_folder(child, 3), 1u);
    batch = candidates({60});
    builder.largest_files().merge(batch, 2);  // a folder not recorded yet

    const auto first = snapshot(builder.parts());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->folders, (std::vector<FolderRecord>{root, child}));
    EXPECT_EQ(sizes_of(first->files), (std::multiset<uint64_t>{100}));
    EXPECT_EQ(first->reclaimable_sizes, (std::vector<uint64_t>{100, 3}));
    EXPECT_EQ(first->total_size({0, 0}), 107u);

    builder.add_folder({1, 1, 1, 0, 0, 0}, 9);
    FolderIndex links;
    links[{1, 2}] = 1;
    const Tree done = builder.finish(links, 42, true);
    EXPECT_EQ(sizes_of(done.files), (std::multiset<uint64_t>{60, 100}));
    EXPECT_EQ(std::tie(done.reclaimable_sizes, done.folder_index, done.event_id, done.stopped),
              std::tuple(std::vector<uint64_t>{100, 3, 9}, links, 42u, true));
    EXPECT_EQ(done.names, first->names);
    EXPECT_EQ(first->record_count(), 2u) << "an earlier snapshot does not change";
}

// Workers append while snapshots are taken: every snapshot is a gap-free
// prefix of the final tree, and every worker's index holds its own record.
TEST(TreeBuilder, ConcurrentAppendsAndSnapshots) {
    TreeBuilder builder("/", true);
    constexpr uint32_t kThreads = 8, kEach = 3000;
    std::atomic<uint32_t> running{kThreads};
    std::vector<std::vector<uint32_t>> indices(kThreads);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                const uint64_t own = uint64_t{t} << 32 | i;
                indices[t].push_back(builder.add_folder({own, 0, 1, i, 0, 0}, own + 1));
            }
            --running;
        });
    }
    std::vector<Tree> snapshots;
    while (running.load() > 0 && snapshots.size() < 500) {
        if (auto tree = snapshot(builder.parts())) {
            snapshots.push_back(std::move(*tree));
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const Tree final_tree = builder.finish({}, 0, false);
    ASSERT_EQ(final_tree.record_count(), kThreads * kEach);
    for (uint32_t t = 0; t < kThreads; ++t) {
        for (uint32_t i = 0; i < kEach; ++i) {
            // An index handed out twice holds another worker's record.
            const uint32_t index = indices[t][i];
            EXPECT_EQ(final_tree.folders[index].own, uint64_t{t} << 32 | i);
            EXPECT_EQ(final_tree.reclaimable_sizes[index], (uint64_t{t} << 32 | i) + 1);
        }
    }
    uint32_t previous = 0;
    for (const Tree& taken_tree : snapshots) {
        const uint32_t count = taken_tree.record_count();
        EXPECT_GE(count, previous);
        previous = count;
        ASSERT_EQ(taken_tree.reclaimable_sizes.size(), count);
        for (uint32_t k = 0; k < count; ++k) {
            ASSERT_EQ(taken_tree.folders[k], final_tree.folders[k]) << "a gap at " << k;
            // A record can be seen before its reclaimable pair is written.
            const uint64_t reclaimable = taken_tree.reclaimable_sizes[k];
            EXPECT_TRUE(reclaimable == 0 || reclaimable == final_tree.reclaimable_sizes[k]);
        }
    }
}

}  // namespace
}  // namespace bramwex::core
