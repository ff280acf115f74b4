#include "core/tree/tree.hpp"

#include <gtest/gtest.h>

#include <random>
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

TEST(NameTable, RefusesUnwrittenIds) {
    NameTable names;
    EXPECT_EQ(names.push(std::string("\xFF\0x", 3)), 0u);
    EXPECT_EQ(names.at(0), std::string_view("\xFF\0x", 3));  // bytes kept as given
    // Same bucket as a written id, a bucket never allocated, and the last u32.
    for (const uint32_t id : {1u, 5000u, 4294967295u}) {
        EXPECT_EQ(fatal_message([&] { names.at(id); }),
                  "index " + std::to_string(id) + " is uninitialized");
    }
    AppendOnlyTable<int> table;  // the first index past the last bucket
    EXPECT_EQ(table.get((uint64_t{1} << 33) - 32), nullptr);
}

// Random trees against a walk up the parents: totals, reclaimable totals
// (missing entries count as zero), the partial flag and the child lists.
TEST(DerivedIndex, MatchesAWalkUpTheParentsOnRandomTrees) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const uint32_t count = 1 + random() % 300;
        std::vector<uint64_t> own{random() % 100}, reclaimable;
        TreeSketch sketch("/r", own[0]);
        std::vector<uint32_t> parents{kNoParent};
        std::vector<uint16_t> flags{0};
        for (uint32_t i = 1; i < count; ++i) {
            const uint32_t parent = random() % i;
            const bool removed = (flags[parent] & kFlagRemoved) || random() % 10 == 0;
            const uint16_t flag = removed             ? kFlagRemoved
                                  : random() % 8 == 0 ? kFlagUnreadable
                                  : random() % 8 == 0 ? kFlagOtherDevice
                                                      : 0;
            parents.push_back(parent);
            flags.push_back(flag);
            own.push_back(removed ? 0 : random() % 1000);
            sketch.folder(parent, "n", own.back(), flag, flag == kFlagUnreadable ? 13 : 0);
        }
        for (uint32_t i = 0; i < count - random() % 3; ++i) {
            reclaimable.push_back(random() % 50);
        }
        const Tree tree = sketch.reclaimable(reclaimable).build();

        std::vector<uint64_t> totals(count), reclaimable_totals(count);
        std::vector<bool> partial(count);
        std::vector<std::vector<uint32_t>> children(count);
        for (uint32_t i = 0; i < count; ++i) {
            if (i > 0 && !(flags[i] & kFlagRemoved)) {
                children[parents[i]].push_back(i);
            }
            for (uint32_t up = i; up != kNoParent; up = parents[up]) {
                totals[up] += own[i];
                reclaimable_totals[up] += i < reclaimable.size() ? reclaimable[i] : 0;
                partial[up] = partial[up] || (up != i && flags[i] == kFlagUnreadable);
            }
        }
        // The index is computed once, however many threads ask first.
        std::vector<const DerivedIndex*> seen(4);
        std::vector<std::thread> readers;
        for (auto& index : seen) {
            readers.emplace_back([&] { index = &tree.compute_index(); });
        }
        for (auto& reader : readers) {
            reader.join();
        }
        EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1u);
        // A clone shares the names and carries the index: records changed
        // after the copy do not show.
        Tree copy = tree.clone();
        copy.folders[0].own += 1;
        EXPECT_EQ(std::pair(copy.total_size({0, 0}), copy.names), std::pair(totals[0], tree.names));
        for (uint32_t i = 0; i < count; ++i) {
            if (flags[i] & kFlagRemoved) {
                EXPECT_EQ(fatal_message([&] {
                              tree.total_size({i, 0});
                          }),
                          "no folder " + std::to_string(i) + " in this tree");
                continue;
            }
            const ChildIds ids = tree.child_ids({i, 0});
            EXPECT_EQ(std::vector(ids.indices.begin(), ids.indices.end()), children[i]);
            EXPECT_EQ(std::tuple(tree.total_size({i, 0}), tree.reclaimable({i, 0}),
                                 tree.is_partial({i, 0})),
                      std::tuple(totals[i], reclaimable_totals[i], partial[i]))
                << "folder " << i << " of " << count;
            EXPECT_EQ(tree.other_device({i, 0}), flags[i] == kFlagOtherDevice);
        }
    }
}

}  // namespace
}  // namespace bramwex::core
