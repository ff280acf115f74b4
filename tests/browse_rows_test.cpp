// Rows of a browsed folder: files listed from disk once per file-cache
// lifetime, subfolders from the tree, the size order, and the
// changes measured against the baselines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "app/browse/browser.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using test::TreeSketch;

std::vector<std::string> names_of(const Browser& b, const std::vector<BrowseRow>& rows) {
    std::vector<std::string> names;
    for (const auto& row : rows) {
        names.emplace_back(b.row_name(b.current_folder(), row));
    }
    return names;
}

struct Folder {
    test::TempDir dir{test::memory_temp_base()};
    uint64_t page = 0;
    Folder() {
        test::write_file(dir / "big", 8192);
        test::write_file(dir / "small", 4096);
        test::write_file(dir / "also", 4096);
        test::make_dirs(dir / "sub");
        test::write_file(dir / "sub/inner", 4096);
        page = test::allocated_of(dir / "small");
    }
    // The tree as a scan would see it; snapshots of one scan share its generation.
    std::shared_ptr<const core::Tree> tree(uint64_t sub_own, uint32_t generation = 0) const {
        TreeSketch sketch(dir.path(), 3 * page);
        sketch.folder(0, "sub", sub_own);
        core::Tree built = sketch.build();
        if (generation != 0) {
            built.generation = generation;
        }
        return std::make_shared<const core::Tree>(std::move(built));
    }
};

TEST(LoadRows, FilesFromDiskFoldersFromTheTreeInSizeOrder) {
    Folder f;
    Browser b(f.dir.path(), "t", AppEnv{}, std::nullopt, std::nullopt, false);
    b.set_tree(f.tree(f.page), ScanState::complete());
    EXPECT_EQ(names_of(b, b.rows), (std::vector<std::string>{"big", "also", "small", "sub"}));
    EXPECT_TRUE(b.rows[3].is_folder());
    EXPECT_EQ(b.rows[3].size, f.page);
    EXPECT_EQ(b.rows[0].size, test::allocated_of(f.dir / "big"));

    // Cached: a file written now is not listed until the files are read again.
    test::write_file(f.dir / "late", 16384);
    b.refresh();
    EXPECT_EQ(b.rows.size(), 4u);
    b.set_tree(f.tree(f.page), ScanState::complete());
    EXPECT_EQ(names_of(b, b.rows).front(), "late");
}

TEST(LoadRows, ListingsOfASnapshotStayForTheTreeAfterIt) {
    Folder f;
    Browser b(f.dir.path(), "t", AppEnv{}, std::nullopt, std::nullopt, false);
    const uint32_t scan = core::next_generation();
    b.set_tree(f.tree(f.page, scan), ScanState::snapshot());
    test::write_file(f.dir / "late", 16384);
    b.set_tree(f.tree(f.page, scan), ScanState::complete());
    EXPECT_EQ(b.rows.size(), 4u);
    b.set_tree(f.tree(f.page), ScanState::complete());
    EXPECT_EQ(b.rows.size(), 5u);
}

TEST(LoadRows, ChangesAgainstTheBaselinesAndTheChangeOrder) {
    Folder f;
    Browser b(f.dir.path(), "t", AppEnv{}, std::nullopt, std::nullopt, false);
    auto first = f.tree(f.page);
    b.baseline = baseline_of(*first);
    b.set_tree(first, ScanState::complete());  // takes the file baseline
    for (const auto& row : b.rows) {
        EXPECT_EQ(row.change, 0);
    }
    test::write_file(f.dir / "late", 16384);
    ::unlink((f.dir / "big").c_str());
    test::write_file(f.dir / "small", 12288);
    b.set_tree(f.tree(2 * f.page), ScanState::complete());
    EXPECT_EQ(names_of(b, b.rows), (std::vector<std::string>{"late", "small", "sub", "also"}));
    std::vector<int64_t> changes;
    for (const auto& row : b.rows) {
        changes.push_back(row.change);
    }
    const auto page = static_cast<int64_t>(f.page);
    EXPECT_EQ(changes, (std::vector<int64_t>{4 * page, 2 * page, page, 0}));

    // A saved scan or a snapshot shows no change.
    b.set_tree(f.tree(2 * f.page), ScanState::snapshot());
    for (const auto& row : b.rows) {
        EXPECT_EQ(row.change, 0);
    }
}

}  // namespace
}  // namespace bramwex::app
