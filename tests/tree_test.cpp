#include "core/tree/tree.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::fatal_message;
using test::TreeSketch;

TEST(NameTable, HandsOutIdsInOrderAndRefusesUnwrittenOnes) {
    NameTable names;
    EXPECT_EQ(names.push("/root"), 0u);
    EXPECT_EQ(names.push(std::string("\xFF\0x", 3)), 1u);
    EXPECT_EQ(names.at(1), std::string_view("\xFF\0x", 3));  // bytes kept as given
    // Same bucket as a written id, a bucket never allocated, and the last u32.
    for (const uint32_t id : {2u, 5000u, 4294967295u}) {
        EXPECT_EQ(fatal_message([&] { names.at(id); }),
                  "index " + std::to_string(id) + " is uninitialized");
    }
    // The first index past the last bucket, and one far beyond.
    AppendOnlyTable<int> table;
    table.push(7);
    EXPECT_EQ(*table.get(0), 7);
    EXPECT_EQ(table.get((uint64_t{1} << 33) - 32), nullptr);
    EXPECT_EQ(table.get(uint64_t{1} << 40), nullptr);
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
                ids[t].push_back(names.push(name));
                // An id just handed out is readable at once, without a lock.
                if (names.at(static_cast<uint32_t>(ids[t].back())) != name) {
                    ADD_FAILURE() << "id " << ids[t].back() << " read back wrong";
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
            seen.insert(ids[t][i]);
            EXPECT_EQ(names.at(static_cast<uint32_t>(ids[t][i])),
                      std::to_string(t) + "-" + std::to_string(i));
        }
    }
    ASSERT_EQ(seen.size(), size_t{kThreads} * kPerThread);  // none twice
    EXPECT_EQ(*seen.rbegin(), seen.size() - 1);             // no gaps
    EXPECT_EQ(names.size(), seen.size());
}

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

    const struct {
        uint32_t index;
        uint64_t total;
        bool partial;
    } expected[] = {
        {0, 146, true},  {a, 130, true}, {ab, 20, true}, {abc, 0, false},
        {mnt, 5, false}, {e, 10, false}, {ef, 3, false}, {ab2, 100, false},
    };
    for (const auto& x : expected) {
        EXPECT_EQ(tree.total_size({x.index, 0}), x.total) << "folder " << x.index;
        EXPECT_EQ(tree.is_partial({x.index, 0}), x.partial) << "folder " << x.index;
    }
    // Flags are never propagated as such.
    EXPECT_FALSE(tree.error_text({ab, 0}).has_value());
    EXPECT_FALSE(tree.other_device({e, 0}));
    EXPECT_TRUE(tree.other_device({ef, 0}));
}

TEST(DerivedIndex, ChildListsAreAscendingAndLeaveRemovedFoldersOut) {
    TreeSketch sketch("/r", 1);
    const uint32_t a = sketch.folder(0, "a", 4);
    const uint32_t gone = sketch.folder(0, "gone", 0, kFlagRemoved);
    sketch.folder(gone, "under", 0, kFlagRemoved);
    const uint32_t ax = sketch.folder(a, "x", 2);
    const uint32_t b = sketch.folder(0, "b", 6);
    sketch.folder(a, "gone too", 0, kFlagRemoved);
    const uint32_t az = sketch.folder(a, "z");
    const Tree tree = sketch.build();

    auto children = [&](uint32_t index) {
        const ChildIds ids = tree.child_ids({index, 0});
        return std::vector<uint32_t>(ids.indices.begin(), ids.indices.end());
    };
    EXPECT_EQ(children(0), (std::vector<uint32_t>{a, b}));
    EXPECT_EQ(children(a), (std::vector<uint32_t>{ax, az}));
    EXPECT_EQ(children(b), std::vector<uint32_t>{});
    EXPECT_EQ(tree.total_size({0, 0}), 13u);  // removed folders add nothing
    EXPECT_FALSE(tree.is_partial({0, 0}));
    EXPECT_EQ(fatal_message([&] { tree.total_size({gone, 0}); }), "no folder 2 in this tree");
}

TEST(DerivedIndex, ReclaimableTotalsTreatMissingEntriesAsZero) {
    auto tree = [](std::vector<uint64_t> reclaimable) {
        TreeSketch sketch("/r");
        sketch.folder(sketch.folder(0, "a"), "b");
        sketch.folder(0, "c");
        return sketch.reclaimable(std::move(reclaimable)).build();
    };
    const Tree with = tree({1, 10, 100});  // shorter than the folder table: c has none
    EXPECT_EQ(with.reclaimable({0, 0}), 111u);
    EXPECT_EQ(with.reclaimable({1, 0}), 110u);
    EXPECT_EQ(with.reclaimable({3, 0}), 0u);
    EXPECT_EQ(tree({}).reclaimable({0, 0}), 0u);
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

TEST(Clone, CopiesEverythingSharesTheNamesAndCarriesTheComputedIndex) {
    TreeSketch sketch("/vol", 7);
    const uint32_t docs = sketch.folder(0, "docs", 100);
    sketch.folder(docs, "locked", 0, kFlagUnreadable, 1);
    sketch.file(docs, "report.pdf", 90).reclaimable({0, 40, 0}).stopped();
    Tree source = sketch.build();
    source.event_id = 4242;
    source.folder_index[{12, 34}] = docs;

    Tree copy = source.clone();
    EXPECT_EQ(std::tie(copy.generation, copy.stopped, copy.event_id, copy.folders, copy.files,
                       copy.reclaimable_sizes, copy.folder_index),
              std::tie(source.generation, source.stopped, source.event_id, source.folders,
                       source.files, source.reclaimable_sizes, source.folder_index));
    EXPECT_EQ(copy.names.get(), source.names.get());

    // Records changed after the copy do not show: the totals came with it.
    copy.folders[1].own = 1'000'000;
    copy.files[0].name = "renamed";
    EXPECT_EQ(copy.total_size({1, source.generation}), source.total_size({1, 0}));
    EXPECT_NE(&copy.compute_index(), &source.compute_index());
    EXPECT_EQ(source.files[0].name, "report.pdf");
}

}  // namespace
}  // namespace bramwex::core
