#include "core/tree/tree.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::fatal_message;
using test::TreeSketch;

// --- NameTable ---------------------------------------------------------------

TEST(NameTable, HandsOutIdsInOrderAndRefusesUnwrittenOnes) {
    NameTable names;
    EXPECT_EQ(names.push("/root"), 0u);
    EXPECT_EQ(names.push(std::string("\xFF\0x", 3)), 1u);
    EXPECT_EQ(names.at(0), "/root");
    EXPECT_EQ(names.at(1), std::string_view("\xFF\0x", 3));  // bytes kept as given
    EXPECT_EQ(names.size(), 2u);
    // Same bucket as a written id, a bucket never allocated, and the last u32.
    for (const uint32_t id : {2u, 5000u, 4294967295u}) {
        EXPECT_EQ(fatal_message([&] { names.at(id); }),
                  "index " + std::to_string(id) + " is uninitialized");
    }
}

TEST(NameTable, ConcurrentAppendsKeepEveryNameAtItsId) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 4000;  // several buckets' worth, so buckets race too
    NameTable names;
    std::vector<std::vector<uint64_t>> ids(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string name = std::to_string(t) + "-" + std::to_string(i);
                const uint64_t id = names.push(name);
                ids[t].push_back(id);
                // An id just handed out is readable at once, without a lock.
                if (names.at(static_cast<uint32_t>(id)) != name) {
                    ADD_FAILURE() << "id " << id << " read back wrong";
                    return;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::set<uint64_t> seen;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const uint64_t id = ids[t][i];
            EXPECT_TRUE(seen.insert(id).second) << "id " << id << " handed out twice";
            EXPECT_EQ(names.at(static_cast<uint32_t>(id)),
                      std::to_string(t) + "-" + std::to_string(i));
        }
    }
    ASSERT_EQ(seen.size(), size_t{kThreads} * kPerThread);
    EXPECT_EQ(*seen.rbegin(), seen.size() - 1);  // no gaps
    EXPECT_EQ(names.size(), seen.size());
}

// --- AppendOnlyTable ---------------------------------------------------------

using Table = AppendOnlyTable<int>;

TEST(AppendOnlyTable, LocatesIndicesInDoublingBuckets) {
    unsigned bucket = 0;
    uint64_t slot = 0;
    for (uint64_t index = 0; index < (uint64_t{32} << 12); ++index) {
        const auto location = Table::locate(index);
        ASSERT_EQ(location.bucket, bucket) << "index " << index;
        ASSERT_EQ(location.slot, slot) << "index " << index;
        if (++slot == uint64_t{32} << bucket) {
            ++bucket;
            slot = 0;
        }
    }
    EXPECT_EQ(Table::locate(4294967295u).bucket, 27u);
    EXPECT_EQ(Table::locate(4294967295u).slot, 31u);

    Table table;
    table.push(7);
    EXPECT_EQ(*table.get(0), 7);
    EXPECT_EQ(table.get(1), nullptr);  // not written
    // The first index past the last bucket, and one far beyond.
    EXPECT_EQ(table.get((uint64_t{1} << 33) - 32), nullptr);
    EXPECT_EQ(table.get(uint64_t{1} << 40), nullptr);
}

// --- Derived totals, flags and child lists -----------------------------------

struct Expected {
    uint32_t index;
    uint64_t total;
    bool partial;
};

TEST(DerivedIndex, TotalsAndPartialFlagsFollowTheParents) {
    TreeSketch sketch("/data", 1);
    const uint32_t a = sketch.folder(0, "a", 10);
    const uint32_t ab = sketch.folder(a, "b", 20);
    const uint32_t abc = sketch.folder(ab, "c", 0, kFlagUnreadable, 13);
    const uint32_t mnt = sketch.folder(0, "mnt", 5, kFlagOtherDevice);
    const uint32_t e = sketch.folder(0, "e", 7);
    const uint32_t ef = sketch.folder(e, "f", 3, kFlagOtherDevice);
    const uint32_t ab2 = sketch.folder(a, "late", 100);  // a child listed after a grandchild
    const Tree tree = sketch.build();

    const Expected expected[] = {
        {0, 146, true},  {a, 130, true}, {ab, 20, true}, {abc, 0, false},
        {mnt, 5, false}, {e, 10, false}, {ef, 3, false}, {ab2, 100, false},
    };
    for (const auto& x : expected) {
        const FolderId id{x.index, 0};
        EXPECT_EQ(tree.total_size(id), x.total) << "folder " << x.index;
        EXPECT_EQ(tree.is_partial(id), x.partial) << "folder " << x.index;
    }
    // Flags are never propagated as such: only the unreadable one is denied,
    // only the mount points are on another device.
    EXPECT_TRUE(tree.error_text({abc, 0}).has_value());
    EXPECT_FALSE(tree.error_text({ab, 0}).has_value());
    EXPECT_FALSE(tree.other_device({e, 0}));
    EXPECT_TRUE(tree.other_device({ef, 0}));

    const DerivedIndex& d = tree.compute_index();
    EXPECT_EQ(d.flags[abc], kFlagUnreadable);
    EXPECT_EQ(d.flags[ab], kFlagPartial);
    EXPECT_EQ(d.flags[e], 0);
}

TEST(DerivedIndex, ChildListsAreAscendingPerParentWhateverTheInterleaving) {
    TreeSketch sketch("/r");
    const uint32_t a = sketch.folder(0, "a");
    const uint32_t b = sketch.folder(0, "b");
    const uint32_t ax = sketch.folder(a, "x");
    const uint32_t by = sketch.folder(b, "y");
    const uint32_t az = sketch.folder(a, "z");
    const uint32_t c = sketch.folder(0, "c");
    const Tree tree = sketch.build();
    const DerivedIndex& d = tree.compute_index();
    EXPECT_EQ(d.child_offsets, (std::vector<uint32_t>{0, 3, 5, 6, 6, 6, 6, 6}));
    EXPECT_EQ(d.children, (std::vector<uint32_t>{a, b, c, ax, az, by}));
}

TEST(DerivedIndex, RemovedFoldersAddNothingAndAreLeftOutOfChildLists) {
    TreeSketch sketch("/r", 1);
    const uint32_t keep = sketch.folder(0, "keep", 4);
    const uint32_t gone = sketch.folder(0, "gone", 0, kFlagRemoved);
    sketch.folder(gone, "under", 0, kFlagRemoved);
    const uint32_t late = sketch.folder(0, "late", 6);
    const uint32_t inner = sketch.folder(keep, "inner", 2);
    sketch.folder(keep, "gone too", 0, kFlagRemoved);
    const Tree tree = sketch.build();

    EXPECT_EQ(tree.total_size({0, 0}), 13u);
    EXPECT_FALSE(tree.is_partial({0, 0}));
    const ChildIds root_children = tree.child_ids({0, 0});
    EXPECT_EQ(std::vector<uint32_t>(root_children.indices.begin(), root_children.indices.end()),
              (std::vector<uint32_t>{keep, late}));
    const ChildIds keep_children = tree.child_ids({keep, 0});
    EXPECT_EQ(std::vector<uint32_t>(keep_children.indices.begin(), keep_children.indices.end()),
              (std::vector<uint32_t>{inner}));
    EXPECT_EQ(fatal_message([&] { tree.total_size({gone, 0}); }), "no folder 2 in this tree");
}

TEST(DerivedIndex, ReclaimableTotalsTreatMissingEntriesAsZero) {
    const uint32_t a = 1, b = 2, c = 3;
    const auto sketch = [] {
        TreeSketch s("/r");
        s.folder(0, "a");
        s.folder(1, "b");
        s.folder(0, "c");
        return s;
    };
    // Shorter than the folder table: c has no entry.
    const Tree with = sketch().reclaimable({1, 10, 100}).build();
    EXPECT_EQ(with.reclaimable({0, 0}), 111u);
    EXPECT_EQ(with.reclaimable({a, 0}), 110u);
    EXPECT_EQ(with.reclaimable({b, 0}), 100u);
    EXPECT_EQ(with.reclaimable({c, 0}), 0u);

    EXPECT_EQ(sketch().build().reclaimable({0, 0}), 0u);
}

TEST(DerivedIndex, IsComputedOnceWhenManyThreadsAskAtOnce) {
    TreeSketch sketch("/r");
    for (uint32_t i = 0; i < 500; ++i) {
        sketch.folder(i / 4, "n" + std::to_string(i), i);
    }
    const Tree tree = sketch.build();
    std::vector<uint64_t> totals(8);
    std::vector<const DerivedIndex*> seen(8);
    std::vector<std::thread> readers;
    for (size_t t = 0; t < totals.size(); ++t) {
        readers.emplace_back([&, t] {
            totals[t] = tree.total_size({0, 0});
            seen[t] = &tree.compute_index();
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    for (size_t t = 0; t < totals.size(); ++t) {
        EXPECT_EQ(totals[t], 499u * 500u / 2u);
        EXPECT_EQ(seen[t], seen[0]);
    }
}

// --- Generations and clones ---------------------------------------------------

TEST(Generation, IdsOfOneTreeAreRefusedByAnother) {
    TreeSketch first_sketch("/one");
    first_sketch.folder(0, "a");
    const Tree one = first_sketch.build();
    TreeSketch second_sketch("/two");
    second_sketch.folder(0, "a");
    const Tree two = second_sketch.build();
    ASSERT_NE(one.generation, 0u);
    ASSERT_NE(one.generation, two.generation);

    EXPECT_EQ(two.name({1, 0}), "a");  // generation 0 is accepted everywhere
    EXPECT_EQ(two.name({1, two.generation}), "a");
    EXPECT_EQ(fatal_message([&] {
                  two.name({1, one.generation});
              }),
              "folder id 1 is from another tree");
    // The generation is checked before the index.
    EXPECT_EQ(fatal_message([&] {
                  two.name({7, one.generation});
              }),
              "folder id 7 is from another tree");
}

TEST(Clone, CopiesEverythingSharesTheNamesAndCarriesTheComputedIndex) {
    TreeSketch sketch("/vol", 7);
    const uint32_t docs = sketch.folder(0, "docs", 100);
    sketch.folder(docs, "locked", 0, kFlagUnreadable, 1);
    sketch.folder(0, "gone", 0, kFlagRemoved);
    sketch.file(docs, "report.pdf", 90).file(0, "top", 7).reclaimable({0, 40, 0, 5}).stopped();
    Tree source = sketch.build();
    source.event_id = 4242;
    source.folder_index[{12, 34}] = docs;
    const long names_used = source.names.use_count();

    Tree copy = source.clone();
    EXPECT_EQ(copy.generation, source.generation);  // ids of the source stay valid
    EXPECT_EQ(copy.stopped, source.stopped);
    EXPECT_EQ(copy.event_id, source.event_id);
    EXPECT_EQ(copy.folders, source.folders);
    EXPECT_EQ(copy.files, source.files);
    EXPECT_EQ(copy.reclaimable_sizes, source.reclaimable_sizes);
    EXPECT_EQ(copy.folder_index, source.folder_index);
    EXPECT_EQ(copy.names.get(), source.names.get());
    EXPECT_EQ(source.names.use_count(), names_used + 1);

    // Records changed after the copy do not show: the totals came with it.
    copy.folders[1].own = 1'000'000;
    copy.files[0].name = "renamed";
    EXPECT_EQ(copy.total_size({1, source.generation}), source.total_size({1, 0}));
    EXPECT_EQ(copy.reclaimable({0, 0}), source.reclaimable({0, 0}));
    EXPECT_NE(&copy.compute_index(), &source.compute_index());
    EXPECT_EQ(source.files[0].name, "report.pdf");
}

}  // namespace
}  // namespace bramwex::core
