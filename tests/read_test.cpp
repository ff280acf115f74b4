#include "core/tree/read.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/tree/tree.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::fatal_message;
using test::TreeSketch;

TEST(IdCheck, EveryOperationRefusesForeignRemovedAndMissingFolders) {
    // Folders: 0 root, 1 "a", 2 "gone" (removed); three records in all.
    const auto make = [] {
        TreeSketch sketch("/r", 1);
        sketch.folder(0, "a", 2);
        sketch.folder(0, "gone", 0, kFlagRemoved);
        return sketch.build();
    };
    const Tree tree = make();
    const Tree other = make();
    const std::function<void(FolderId)> operations[] = {
        [&](FolderId id) { tree.total_size(id); },
        [&](FolderId id) { tree.reclaimable(id); },
        [&](FolderId id) { tree.own(id); },
        [&](FolderId id) { tree.is_partial(id); },
        [&](FolderId id) { tree.other_device(id); },
        [&](FolderId id) { tree.error_text(id); },
        [&](FolderId id) { tree.name(id); },
        [&](FolderId id) { tree.child_ids(id); },
        [&](FolderId id) { tree.sorted_children(id); },
        [&](FolderId id) {
            tree.by_size_then_name({0, 0}, id);
        },
    };
    for (const auto& call : operations) {
        SCOPED_TRACE(&call - operations);
        EXPECT_EQ(fatal_message([&] { call({1, 0}); }), "no fatal error");
        EXPECT_EQ(fatal_message([&] { call({1, tree.generation}); }), "no fatal error");
        // The generation is checked before the index.
        EXPECT_EQ(fatal_message([&] {
                      call({7, other.generation});
                  }),
                  "folder id 7 is from another tree");
        EXPECT_EQ(fatal_message([&] { call({3, 0}); }), "no folder 3 in this tree");
        EXPECT_EQ(fatal_message([&] { call({2, tree.generation}); }), "no folder 2 in this tree");
    }

    // Plain index operations check only the bounds: a removed folder still
    // has a record, so a plain index reaches it.
    EXPECT_EQ(tree.absolute_path(2), "/r/gone");
    EXPECT_EQ(fatal_message([&] { tree.relative_path(3); }),
              "index out of bounds: the len is 3 but the index is 3");
}

// Larger total first (counted through the subtree), then name bytes (upper
// case first, bytes above ASCII last), then index; enough children for the
// merge path.
TEST(SortedChildren, LargerFirstThenNameBytesThenIndex) {
    const std::string names[] = {"b", "a", "\xC3\xA9", "ab", "B"};
    TreeSketch sketch("/r");
    std::vector<uint32_t> expected;
    for (uint32_t k = 0; k < 40; ++k) {
        sketch.folder(0, names[(k * 7) % 5], (k % 3) * 10);
        expected.push_back(k + 1);
    }
    const uint32_t nested = sketch.folder(0, "n", 1);
    sketch.folder(nested, "deep", 19);
    expected.push_back(nested);
    const Tree tree = sketch.build();
    const auto key = [&](uint32_t x) {
        return std::pair(-int(x == nested ? 2 : (x - 1) % 3),
                         tree.names->at(tree.folders[x].name_id));
    };
    std::ranges::stable_sort(expected, [&](uint32_t x, uint32_t y) { return key(x) < key(y); });
    std::vector<uint32_t> sorted;
    for (const FolderId id : tree.sorted_children({0, 0})) {
        EXPECT_EQ(id.generation, tree.generation);
        sorted.push_back(id.index);
    }
    EXPECT_EQ(sorted, expected);
}

TEST(Paths, JoinTheRootPathWithoutDoubledSlashes) {
    for (const auto& [root, child, grandchild] :
         {std::array<const char*, 3>{"/", "/Users", "/Users/me"},
          {"/data/", "/data/Users", "/data/Users/me"}}) {
        TreeSketch sketch(root);
        const uint32_t me = sketch.folder(sketch.folder(0, "Users"), "me");
        const Tree tree = sketch.build();
        EXPECT_EQ(tree.absolute_path(0), root);
        EXPECT_EQ(tree.absolute_path(1), child);
        EXPECT_EQ(tree.absolute_path(me), grandchild);
        EXPECT_EQ(tree.relative_path(0), "");
        EXPECT_EQ(tree.relative_path(me), "Users/me");
    }
}

TEST(LargestFilePaths, LargestFirstThenPathBytesAndCutToN) {
    TreeSketch sketch("/");
    const uint32_t a = sketch.folder(0, "a");
    for (uint32_t k = 0; k < 10; ++k) {
        const uint32_t scrambled = (k * 7) % 10;
        sketch.file(0, fmt::format("f{}", scrambled), scrambled < 3 ? 100 : 7);
    }
    sketch.file(a, "b", 7).file(0, "a", 7).file(0, "a0", 7);
    const Tree tree = sketch.build();
    std::vector<FilePath> expected;
    for (uint32_t k = 0; k < 10; ++k) {
        expected.push_back({fmt::format("/f{}", k), k < 3 ? 100u : 7u});
    }
    // "/a" is a prefix of "/a/b" and goes first; '/' (0x2F) sorts before '0'.
    expected.insert(expected.begin() + 3, {{"/a", 7}, {"/a/b", 7}, {"/a0", 7}});
    EXPECT_EQ(tree.largest_file_paths(1000), expected);
    EXPECT_EQ(tree.largest_file_paths(2),
              std::vector<FilePath>(expected.begin(), expected.begin() + 2));
    EXPECT_TRUE(tree.largest_file_paths(0).empty());
}

// Equal sizes across a deep tree whose names are prefixes of one another or
// differ by a byte just below '/' ("/r/a/b" against "/r/a.b/..."), with two
// folders of one name in one parent: the order is that of the whole paths.
TEST(LargestFilePaths, TiesAcrossDepthsFollowWholePathBytes) {
    const std::vector<std::string> names{"a", "a.b", "a-b", "ab", "b", "a b", "\xff"};
    TreeSketch sketch("/r");
    std::vector<std::string> paths{"/r/"};
    std::vector<FilePath> expected;
    std::mt19937 random(11);
    for (uint32_t folder = 0; folder < 300; ++folder) {
        if (folder > 0) {
            const uint32_t parent = random() % 10 < 7 ? folder - 1 : random() % folder;
            const std::string& name = names[random() % names.size()];
            ASSERT_EQ(sketch.folder(parent, name), folder);
            paths.push_back(paths[parent] + name + "/");
        }
        const std::string& name = names[random() % names.size()];
        const uint64_t size = random() % 4 == 0 ? 9 : 7;
        sketch.file(folder, name, size);
        expected.push_back({paths[folder] + name, size});
    }
    std::stable_sort(expected.begin(), expected.end(), [](const FilePath& a, const FilePath& b) {
        return a.size != b.size ? a.size > b.size : a.path < b.path;
    });
    const Tree tree = sketch.build();
    EXPECT_EQ(tree.largest_file_paths(1000), expected);
    EXPECT_EQ(tree.largest_file_paths(5),
              std::vector<FilePath>(expected.begin(), expected.begin() + 5));
}

}  // namespace
}  // namespace bramwex::core
