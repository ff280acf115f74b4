#include "core/tree/read.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/tree/tree.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::fatal_message;
using test::TreeSketch;

std::vector<uint32_t> indices_of(const std::vector<FolderId>& ids) {
    std::vector<uint32_t> out;
    for (const FolderId id : ids) {
        out.push_back(id.index);
    }
    return out;
}

struct Operation {
    const char* name;
    std::function<void(const Tree&, FolderId)> call;
};

class IdCheck : public testing::TestWithParam<Operation> {
  protected:
    // Folders: 0 root, 1 "a", 2 "gone" (removed); three records in all.
    static Tree make() {
        TreeSketch sketch("/r", 1);
        sketch.folder(0, "a", 2);
        sketch.folder(0, "gone", 0, kFlagRemoved);
        return sketch.build();
    }
};

TEST_P(IdCheck, RefusesForeignRemovedAndMissingFolders) {
    const Tree tree = make();
    const Tree other = make();
    const auto& call = GetParam().call;

    EXPECT_EQ(fatal_message([&] { call(tree, {1, 0}); }), "no fatal error");
    EXPECT_EQ(fatal_message([&] { call(tree, {1, tree.generation}); }), "no fatal error");
    const FolderId foreign{1, other.generation};
    EXPECT_EQ(fatal_message([&] { call(tree, foreign); }), "folder id 1 is from another tree");
    // The generation is checked before the index.
    EXPECT_EQ(fatal_message([&] {
                  call(tree, {7, other.generation});
              }),
              "folder id 7 is from another tree");
    EXPECT_EQ(fatal_message([&] { call(tree, {3, 0}); }), "no folder 3 in this tree");
    EXPECT_EQ(fatal_message([&] { call(tree, {2, 0}); }), "no folder 2 in this tree");
    EXPECT_EQ(fatal_message([&] { call(tree, {2, tree.generation}); }), "no folder 2 in this tree");
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, IdCheck,
    testing::Values(
        Operation{"total_size", [](const Tree& t, FolderId id) { t.total_size(id); }},
        Operation{"reclaimable", [](const Tree& t, FolderId id) { t.reclaimable(id); }},
        Operation{"own", [](const Tree& t, FolderId id) { t.own(id); }},
        Operation{"is_partial", [](const Tree& t, FolderId id) { t.is_partial(id); }},
        Operation{"other_device", [](const Tree& t, FolderId id) { t.other_device(id); }},
        Operation{"error_text", [](const Tree& t, FolderId id) { t.error_text(id); }},
        Operation{"name", [](const Tree& t, FolderId id) { t.name(id); }},
        Operation{"child_ids", [](const Tree& t, FolderId id) { t.child_ids(id); }},
        Operation{"sorted_children", [](const Tree& t, FolderId id) { t.sorted_children(id); }},
        Operation{"by_size_then_name",
                  [](const Tree& t, FolderId id) {
                      t.by_size_then_name({0, 0}, id);
                  }}),
    [](const testing::TestParamInfo<Operation>& info) { return std::string(info.param.name); });

TEST(IndexCheck, PlainIndexOperationsCheckOnlyTheBounds) {
    TreeSketch sketch("/r");
    sketch.folder(0, "a");
    sketch.folder(0, "gone", 0, kFlagRemoved);
    const Tree tree = sketch.build();

    // A removed folder still has a record, so a plain index reaches it.
    EXPECT_EQ(tree.error_text_at(2), std::nullopt);
    EXPECT_EQ(tree.absolute_path(2), "/r/gone");
    EXPECT_EQ(tree.relative_path(2), "gone");

    const std::string past_end = "index out of bounds: the len is 3 but the index is 3";
    EXPECT_EQ(fatal_message([&] { tree.error_text_at(3); }), past_end);
    EXPECT_EQ(fatal_message([&] { tree.absolute_path(3); }), past_end);
    EXPECT_EQ(fatal_message([&] { tree.relative_path(3); }), past_end);

    // A folder named by an unwritten id is a broken tree.
    Tree broken = tree.clone();
    broken.folders[1].name_id = 40;
    EXPECT_EQ(fatal_message([&] { broken.name({1, 0}); }), "index 40 is uninitialized");
    EXPECT_EQ(fatal_message([&] { broken.absolute_path(1); }), "index 40 is uninitialized");
}

TEST(SortedChildren, LargerFirstThenNameBytesThenIndex) {
    TreeSketch sketch("/r");
    const uint32_t b = sketch.folder(0, "b", 5);
    const uint32_t ab = sketch.folder(0, "ab", 5);
    const uint32_t a1 = sketch.folder(0, "a", 5);
    const uint32_t z = sketch.folder(0, "z", 9);
    const uint32_t a2 = sketch.folder(0, "a", 5);
    const uint32_t upper = sketch.folder(0, "B", 5);            // upper case sorts first
    const uint32_t accented = sketch.folder(0, "\xC3\xA9", 5);  // bytes above ASCII last
    const uint32_t nested = sketch.folder(0, "n", 1);
    sketch.folder(nested, "deep", 8);  // counts through the total, 9 like z
    const Tree tree = sketch.build();

    const std::vector<FolderId> sorted = tree.sorted_children({0, 0});
    EXPECT_EQ(indices_of(sorted),
              (std::vector<uint32_t>{nested, z, upper, a1, a2, ab, b, accented}));
    for (const FolderId id : sorted) {
        EXPECT_EQ(id.generation, tree.generation);
    }
}

// Enough children for the merge path, with runs of equal totals and names.
TEST(SortedChildren, ManyChildrenKeepTheSameOrder) {
    const std::string names[] = {"b", "a", "\xC3\xA9", "ab", "B"};
    TreeSketch sketch("/r");
    std::vector<uint32_t> expected;
    for (uint32_t k = 0; k < 40; ++k) {
        sketch.folder(0, names[(k * 7) % 5], (k % 3) * 10);
        expected.push_back(k + 1);
    }
    const Tree tree = sketch.build();
    std::ranges::stable_sort(expected, [&](uint32_t x, uint32_t y) {
        return std::pair(-int((x - 1) % 3), tree.names->at(tree.folders[x].name_id)) <
               std::pair(-int((y - 1) % 3), tree.names->at(tree.folders[y].name_id));
    });
    EXPECT_EQ(indices_of(tree.sorted_children({0, 0})), expected);
}

TEST(Paths, JoinTheRootPathWithoutDoubledSlashes) {
    for (const auto& [root, child, grandchild] :
         {std::array<const char*, 3>{"/", "/Users", "/Users/me"},
          {"/data", "/data/Users", "/data/Users/me"},
          {"/data/", "/data/Users", "/data/Users/me"},
          {"rel", "rel/Users", "rel/Users/me"}}) {
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

TEST(LargestFilePaths, LargestFirstThenPathAndCutToN) {
    TreeSketch sketch("/r");
    const uint32_t a = sketch.folder(0, "a");
    for (uint32_t k = 0; k < 25; ++k) {
        const uint32_t scrambled = (k * 7) % 25;
        sketch.file(0, fmt::format("f{:02}", scrambled), scrambled < 5 ? 100 : 7);
    }
    sketch.file(a, "z", 7);
    const Tree tree = sketch.build();
    std::vector<FilePath> expected;
    for (uint32_t k = 0; k < 25; ++k) {
        expected.push_back({fmt::format("/r/f{:02}", k), k < 5 ? 100u : 7u});
    }
    expected.insert(expected.begin() + 5, {"/r/a/z", 7});  // "/r/a/" sorts before "/r/f"
    EXPECT_EQ(tree.largest_file_paths(26), expected);
    EXPECT_EQ(tree.largest_file_paths(1000), expected);
    EXPECT_EQ(tree.largest_file_paths(3),
              std::vector<FilePath>(expected.begin(), expected.begin() + 3));
    EXPECT_TRUE(tree.largest_file_paths(0).empty());
}

TEST(LargestFilePaths, RootSlashAndPrefixPaths) {
    TreeSketch sketch("/");
    const uint32_t a = sketch.folder(0, "a");
    sketch.file(a, "b", 4).file(0, "a", 4).file(0, "a0", 4);
    const Tree tree = sketch.build();
    // "/a" is a prefix of "/a/b" and goes first; '/' (0x2F) sorts before '0'.
    EXPECT_EQ(tree.largest_file_paths(5),
              (std::vector<FilePath>{{"/a", 4}, {"/a/b", 4}, {"/a0", 4}}));
}

struct ErrorCase {
    uint16_t flags;
    uint16_t error_number;
    std::optional<std::string> text;
};

TEST(ErrorText, NamesTheTwoCommonErrnosAndNumbersTheRest) {
    const ErrorCase cases[] = {
        {kFlagUnreadable, 13, "EACCES"},
        {kFlagUnreadable, 1, "EPERM"},
        {kFlagUnreadable, 2, "errno 2"},
        {kFlagUnreadable, 65535, "errno 65535"},
        {kFlagUnreadable | kFlagOtherDevice, 13, "EACCES"},
        {0, 13, std::nullopt},  // an errno without the unreadable bit means nothing
        {kFlagOtherDevice, 0, std::nullopt},
    };
    TreeSketch sketch("/r");
    for (const auto& c : cases) {
        sketch.folder(0, "f", 0, c.flags, c.error_number);
    }
    const Tree tree = sketch.build();
    for (uint32_t k = 0; k < std::size(cases); ++k) {
        EXPECT_EQ(tree.error_text_at(k + 1), cases[k].text) << "case " << k;
        EXPECT_EQ(tree.error_text({k + 1, 0}), cases[k].text) << "case " << k;
    }
}

}  // namespace
}  // namespace bramwex::core
