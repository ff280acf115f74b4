#include "core/tree_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/largest_files.hpp"

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

// ---------------------------------------------------------------------------
// LargestFiles

TEST(LargestFiles, KeepsOnlyTheThousandLargest) {
    LargestFiles files;
    std::vector<uint64_t> first(999);
    std::iota(first.begin(), first.end(), 1);
    auto batch = candidates(first);
    files.merge(batch, 1);
    EXPECT_EQ(files.size(), 999u);
    EXPECT_EQ(files.threshold(), 0u) << "no threshold until the heap is full";

    batch = candidates({1000});
    files.merge(batch, 1);
    EXPECT_EQ(files.size(), 1000u);
    EXPECT_EQ(files.threshold(), 1u);

    // Exactly the smallest kept size does not enter.
    batch = candidates({1});
    files.merge(batch, 2);
    EXPECT_EQ(files.size(), 1000u);
    EXPECT_EQ(files.threshold(), 1u);

    // One byte more replaces the smallest.
    batch = candidates({2});
    files.merge(batch, 2);
    EXPECT_EQ(files.size(), 1000u);
    EXPECT_EQ(files.threshold(), 2u);

    // Within one batch, earlier entries raise the bar for later ones; among
    // equal sizes the lower folder goes first.
    batch = candidates({5000, 3, 5001, 4});
    files.merge(batch, 3);
    EXPECT_EQ(files.threshold(), 4u);

    const std::vector<FileRecord> kept = files.take();
    ASSERT_EQ(kept.size(), 1000u);
    std::multiset<std::pair<uint64_t, uint32_t>> expected{{4, 1}, {4, 3}, {5000, 3}, {5001, 3}};
    for (uint64_t size = 5; size <= 1000; ++size) {
        expected.insert({size, 1});
    }
    std::multiset<std::pair<uint64_t, uint32_t>> actual;
    for (const FileRecord& file : kept) {
        EXPECT_EQ(file.name, "f" + std::to_string(file.size));
        actual.insert({file.size, file.folder});
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(files.size(), 0u);
}

TEST(LargestFiles, PopsTheSmallestBySizeThenFolderThenNameBytes) {
    LargestFiles files;
    const std::vector<FileRecord> ordered{
        {"z", 3, 9}, {"", 5, 1},     {"a", 5, 1}, {"ab", 5, 1},
        {"b", 5, 1}, {"\xff", 5, 1}, {"a", 5, 2}, {"a", 7, 0},
    };
    std::lock_guard lock(files.mutex());
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
        files.push(*it);
    }
    // Shuffled input, same order out.
    files.push({"b", 1, 0});
    EXPECT_EQ(files.pop(), (FileRecord{"b", 1, 0}));
    for (const FileRecord& expected : ordered) {
        EXPECT_EQ(files.pop(), expected);
    }
    EXPECT_EQ(files.size(), 0u);
}

TEST(LargestFiles, CopyBelowKeepsOnlyRecordedFolders) {
    LargestFiles files;
    auto batch = candidates({10, 20});
    files.merge(batch, 0);
    batch = candidates({30});
    files.merge(batch, 4);
    EXPECT_EQ(sizes_of(files.copy_below(4)), (std::multiset<uint64_t>{10, 20}));
    EXPECT_EQ(sizes_of(files.copy_below(5)), (std::multiset<uint64_t>{10, 20, 30}));
    EXPECT_TRUE(files.copy_below(0).empty());
    EXPECT_EQ(files.size(), 3u) << "a copy leaves the heap alone";
}

TEST(LargestFiles, ConcurrentMergesKeepTheOverallLargest) {
    LargestFiles files;
    constexpr uint64_t kThreads = 8;
    constexpr uint64_t kBatches = 25;
    constexpr uint64_t kPerBatch = 20;
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&files, t] {
            for (uint64_t b = 0; b < kBatches; ++b) {
                std::vector<uint64_t> sizes;
                for (uint64_t i = 0; i < kPerBatch; ++i) {
                    sizes.push_back(1 + t + kThreads * (b * kPerBatch + i));
                }
                auto batch = candidates(sizes);
                // Skips what cannot enter, as a listing does.
                std::erase_if(batch, [&](const auto& c) { return c.size <= files.threshold(); });
                files.merge(batch, static_cast<uint32_t>(t));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const uint64_t total = kThreads * kBatches * kPerBatch;
    EXPECT_EQ(files.threshold(), total - 999);
    std::multiset<uint64_t> expected;
    for (uint64_t size = total - 999; size <= total; ++size) {
        expected.insert(size);
    }
    EXPECT_EQ(sizes_of(files.take()), expected);
}

// ---------------------------------------------------------------------------
// TreeBuilder

TEST(TreeBuilder, SnapshotBeforeAnyRecordIsNothing) {
    TreeBuilder builder("/scan/root", true);
    EXPECT_FALSE(snapshot(builder.parts()));
    std::vector<std::string_view> names{"a"};
    std::vector<uint32_t> ids(1);
    builder.intern_names(names, ids);
    auto batch = candidates({100});
    builder.largest_files().merge(batch, 0);
    EXPECT_FALSE(snapshot(builder.parts())) << "names and files alone make no tree";
}

TEST(TreeBuilder, SnapshotIsACopyOfTheRecordsSoFar) {
    TreeBuilder builder("/scan/root", true);
    const FolderRecord root{100, kNoParent, 0, 11, 0, 0};
    const FolderRecord child{7, 0, 1, 12, kFlagUnreadable, 13};
    EXPECT_EQ(builder.add_folder(root, 100), 0u);
    EXPECT_EQ(builder.add_folder(child, 3), 1u);
    auto batch = candidates({50});
    builder.largest_files().merge(batch, 1);
    batch = candidates({60});
    builder.largest_files().merge(batch, 2);  // a folder not recorded yet

    const auto first = snapshot(builder.parts());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->folders, (std::vector<FolderRecord>{root, child}));
    ASSERT_EQ(first->files.size(), 1u);
    EXPECT_EQ(first->files[0], (FileRecord{"f50", 50, 1}));
    EXPECT_EQ(first->reclaimable_sizes, (std::vector<uint64_t>{100, 3}));
    EXPECT_EQ(first->names, builder.parts().names);
    EXPECT_EQ(first->generation, builder.parts().generation);
    EXPECT_FALSE(first->stopped);
    EXPECT_EQ(first->event_id, 0u);
    EXPECT_TRUE(first->folder_index.empty());
    EXPECT_EQ(first->total_size({0, 0}), 107u);

    builder.add_folder({1, 1, 1, 0, 0, 0}, 9);
    const auto second = snapshot(builder.parts());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->record_count(), 3u);
    EXPECT_EQ(sizes_of(second->files), (std::multiset<uint64_t>{50, 60}));
    EXPECT_EQ(second->reclaimable_sizes, (std::vector<uint64_t>{100, 3, 9}));
    EXPECT_EQ(first->record_count(), 2u) << "an earlier snapshot does not change";

    TreeBuilder plain("/x", false);
    plain.add_folder(root, 55);
    const auto without = snapshot(plain.parts());
    ASSERT_TRUE(without);
    EXPECT_TRUE(without->reclaimable_sizes.empty());
    EXPECT_NE(without->generation, first->generation);
}

TEST(TreeBuilder, SnapshotsTakenWhileWorkersAppendAreGapFreePrefixes) {
    TreeBuilder builder("/", true);
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kEach = 3000;
    std::atomic<uint32_t> running{kThreads};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                const uint64_t own = uint64_t{t} << 32 | i;
                const uint32_t index = builder.add_folder({own, 0, 1, i, 0, 0}, own + 1);
                if (i % 16 == 0) {
                    auto batch = candidates({own + 1});
                    builder.largest_files().merge(batch, index);
                }
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

    uint32_t previous = 0;
    for (const Tree& taken : snapshots) {
        const uint32_t count = taken.record_count();
        EXPECT_GE(count, previous);
        previous = count;
        ASSERT_EQ(taken.reclaimable_sizes.size(), count);
        for (uint32_t k = 0; k < count; ++k) {
            ASSERT_EQ(taken.folders[k], final_tree.folders[k]) << "snapshot has a gap at " << k;
            // A record can be seen before its reclaimable pair is written.
            const uint64_t reclaimable = taken.reclaimable_sizes[k];
            EXPECT_TRUE(reclaimable == 0 || reclaimable == final_tree.reclaimable_sizes[k]);
        }
        for (const FileRecord& file : taken.files) {
            EXPECT_LT(file.folder, count);
        }
    }
}

TEST(TreeBuilder, FinishHandsOverEverything) {
    TreeBuilder builder("relative/root", true);
    const uint32_t first_generation = builder.parts().generation;
    builder.add_folder({10, kNoParent, 0, 0, 0, 0}, 10);
    builder.add_folder({20, 0, 1, 0, 0, 0}, 0);
    auto batch = candidates({5, 6});
    builder.largest_files().merge(batch, 1);
    FolderIndex links;
    links[{1, 2}] = 1;
    const std::shared_ptr<NameTable> names = builder.parts().names;

    const Tree tree = builder.finish(std::move(links), 42, true);
    EXPECT_EQ(tree.record_count(), 2u);
    EXPECT_EQ(tree.folders[1].own, 20u);
    EXPECT_EQ(tree.reclaimable_sizes, (std::vector<uint64_t>{10, 0}));
    EXPECT_EQ(sizes_of(tree.files), (std::multiset<uint64_t>{5, 6}));
    EXPECT_EQ(tree.folder_index.at({1, 2}), 1u);
    EXPECT_EQ(tree.event_id, 42u);
    EXPECT_TRUE(tree.stopped);
    EXPECT_EQ(tree.generation, first_generation);
    EXPECT_EQ(tree.names, names);
    EXPECT_EQ(tree.names->at(0), "relative/root");

    TreeBuilder later("/", false);
    later.add_folder({0, kNoParent, 0, 0, 0, 0}, 0);
    const Tree not_stopped = later.finish({}, 0, false);
    EXPECT_FALSE(not_stopped.stopped);
    EXPECT_TRUE(not_stopped.reclaimable_sizes.empty());
    EXPECT_GT(not_stopped.generation, first_generation);
}

TEST(TreeBuilder, EqualFolderNamesShareOneId) {
    TreeBuilder builder("/root/path/", false);
    std::vector<std::string_view> names{"build", "src", "build"};
    std::vector<uint32_t> ids(names.size());
    builder.intern_names(names, ids);
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 1}));

    const std::string high_bytes("\xff\xfe", 2);
    names = {"src", "node_modules", "build", "Build", high_bytes};
    ids.assign(names.size(), 0);
    builder.intern_names(names, ids);
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 3, 1, 4, 5}));

    const NameTable& table = *builder.parts().names;
    EXPECT_EQ(table.size(), 6u);
    EXPECT_EQ(table.at(0), "/root/path/");
    EXPECT_EQ(table.at(3), "node_modules");
    EXPECT_EQ(table.at(5), high_bytes);
}

TEST(TreeBuilder, ManyThreadsInternTheSameNames) {
    TreeBuilder builder("/", false);
    constexpr int kNames = 200;
    std::vector<std::string> pool;
    for (int k = 0; k < kNames; ++k) {
        pool.push_back("name" + std::to_string(k));
    }
    std::vector<std::vector<uint32_t>> seen(8, std::vector<uint32_t>(kNames));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            // Each thread goes through the names in its own order, one at a time.
            for (int step = 0; step < kNames; ++step) {
                const int k = static_cast<int>((step * 7 + t * 31) % kNames);
                const std::string_view name = pool[k];
                builder.intern_names({&name, 1}, {&seen[t][k], 1});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const NameTable& table = *builder.parts().names;
    EXPECT_EQ(table.size(), 1u + kNames);
    for (int k = 0; k < kNames; ++k) {
        for (size_t t = 1; t < seen.size(); ++t) {
            EXPECT_EQ(seen[t][k], seen[0][k]) << pool[k];
        }
        EXPECT_EQ(table.at(seen[0][k]), pool[k]);
    }
}

TEST(TreeBuilder, ManyThreadsAddFoldersAtOnce) {
    TreeBuilder builder("/", true);
    constexpr uint32_t kThreads = 8;
    constexpr uint32_t kEach = 5000;
    std::vector<std::vector<uint32_t>> indices(kThreads);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                const uint64_t own = uint64_t{t} * 1000000 + i;
                indices[t].push_back(builder.add_folder({own, 0, 1, i, 0, 0}, own * 2));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const Tree tree = builder.finish({}, 0, false);
    ASSERT_EQ(tree.record_count(), kThreads * kEach);
    std::vector<bool> taken(tree.record_count(), false);
    for (uint32_t t = 0; t < kThreads; ++t) {
        for (uint32_t i = 0; i < kEach; ++i) {
            const uint32_t index = indices[t][i];
            ASSERT_LT(index, tree.record_count());
            EXPECT_FALSE(taken[index]) << "index " << index << " handed out twice";
            taken[index] = true;
            const uint64_t own = uint64_t{t} * 1000000 + i;
            EXPECT_EQ(tree.folders[index].own, own);
            EXPECT_EQ(tree.reclaimable_sizes[index], own * 2);
        }
    }
}

}  // namespace
}  // namespace bramwex::core
