// Browser state: the baseline carried across trees, what each live item does
// to the tree on screen, the path cut short when a shown folder goes, and the
// rows of a folder: files listed from disk once per scan, subfolders from the
// tree, in size or change order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "app/browse/baseline.hpp"
#include "app/browse/browser.hpp"
#include "core/store/cached_scan.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using test::TreeSketch;
using namespace std::chrono_literals;
using Sizes = std::vector<uint64_t>;

std::shared_ptr<const core::Tree> shared(core::Tree tree) {
    return std::make_shared<const core::Tree>(std::move(tree));
}

// A browser fed by hand through its channel; no live thread, no cache folder.
struct Fed {
    std::unique_ptr<Browser> browser;
    core::ChannelSender<core::LiveItem> sender;
    WallClock::time_point now = WallClock::time_point(1000s);

    explicit Fed(std::optional<core::LoadedTree> saved = std::nullopt, AppEnv env = {},
                 std::string root = "/nonexistent-root") {
        browser = std::make_unique<Browser>(std::move(root), "root", std::move(env),
                                            std::move(saved), std::nullopt, false);
        auto [tx, rx] = core::make_channel<core::LiveItem>();
        sender = std::move(tx);
        browser->events = std::move(rx);
    }
    template <class E>
    void send(E event) {
        sender.send(core::LiveItem(core::Event{std::move(event)}));
        now += 1s;
        browser->drain_events(now);
    }
};

core::Tree small_tree(uint64_t a_own = 10) {
    TreeSketch sketch("/nonexistent-root", 1);
    const uint32_t a = sketch.folder(0, "a", a_own);
    sketch.folder(a, "b", 5);
    return sketch.build();
}

TEST(Baseline, CarriedByNameAcrossGenerationsByIndexWithinOne) {
    TreeSketch old_sketch("/r", 1);
    const uint32_t a = old_sketch.folder(0, "a", 50);
    old_sketch.folder(a, "b", 10);
    old_sketch.folder(0, "c", 40);
    const core::Tree old_tree = old_sketch.build();
    Baseline baseline = baseline_of(old_tree);
    EXPECT_EQ(baseline.sizes, (Sizes{101, 60, 10, 40}));

    // Other indices, one folder gone, one moved under another parent, one new.
    TreeSketch new_sketch("/r", 1);
    new_sketch.folder(0, "c", 1);
    const uint32_t new_a = new_sketch.folder(0, "a", 1);
    new_sketch.folder(new_a, "b", 1);
    const uint32_t d = new_sketch.folder(0, "d", 1);
    new_sketch.folder(d, "b", 1);
    core::Tree new_tree = new_sketch.build();
    carry_baseline(baseline, old_tree, new_tree);
    EXPECT_EQ(baseline.sizes, (Sizes{101, 40, 60, 10, 0, 0}));
    EXPECT_TRUE(baseline.gone.empty());

    // A folder added to the same generation starts from nothing.
    core::Tree grown;
    grown.names = new_tree.names;
    grown.folders = new_tree.folders;
    grown.generation = new_tree.generation;
    grown.folders.push_back({7, 1, static_cast<uint32_t>(grown.names->push("n")), 0, 0, 0});
    carry_baseline(baseline, new_tree, grown);
    EXPECT_EQ(baseline.sizes, (Sizes{101, 40, 60, 10, 0, 0, 0}));
}

// The next tree of the same generation: the same records, later ones added.
core::Tree followed(const core::Tree& tree) {
    core::Tree next;
    next.names = tree.names;
    next.folders = tree.folders;
    next.generation = tree.generation;
    return next;
}

uint32_t add_folder(core::Tree& tree, uint32_t parent, std::string name, uint64_t own) {
    tree.folders.push_back({own, parent, static_cast<uint32_t>(tree.names->push(name)), 0, 0, 0});
    return tree.record_count() - 1;
}

TEST(Baseline, AFolderMadeAgainTakesWhatItsPathHadInLaterTrees) {
    TreeSketch sketch("/r", 1);
    const uint32_t sub = sketch.folder(0, "sub", 10);
    sketch.folder(sub, "deep", 5);
    const core::Tree opened = sketch.build();
    Baseline baseline = baseline_of(opened);

    // sub goes in one tree and comes back in the next, its folder below later.
    core::Tree without = followed(opened);
    without.mark_removed(1);
    without.mark_removed(2);
    carry_baseline(baseline, opened, without);
    core::Tree again = followed(without);
    const uint32_t new_sub = add_folder(again, 0, "sub", 1);
    carry_baseline(baseline, without, again);
    core::Tree deeper = followed(again);
    add_folder(deeper, new_sub, "deep", 1);
    add_folder(deeper, new_sub, "fresh", 1);
    carry_baseline(baseline, again, deeper);
    EXPECT_EQ(baseline.sizes, (Sizes{16, 0, 0, 15, 5, 0}));
    EXPECT_TRUE(baseline.gone.empty());
}

TEST(BrowserState, SavedScanStaysThroughSnapshotsUntilReady) {
    core::LoadedTree saved{small_tree(), {1234, 5}, false};
    Fed fed(std::move(saved));
    Browser& b = *fed.browser;
    ASSERT_TRUE(b.tree);
    EXPECT_EQ(b.state, ScanState::saved_at(1234, 5));
    const auto shown = b.tree;

    fed.send(core::Event::Scanning{shared(small_tree(20))});
    EXPECT_EQ(b.tree, shown);
    EXPECT_EQ(b.state, ScanState::saved_at(1234, 5));
    EXPECT_EQ(b.progress, (std::pair<uint64_t, uint64_t>{26, 3}));

    b.scan_running = true;
    fed.send(core::Event::Ready{shared(small_tree(30))});
    EXPECT_TRUE(b.state.is_complete());
    EXPECT_FALSE(b.scan_running);
    EXPECT_FALSE(b.progress);
    EXPECT_EQ(b.baseline->sizes, (Sizes{36, 35, 5}));
    EXPECT_EQ(b.ready_time, fed.now);

    fed.send(core::Event::Changed{shared(small_tree(40)), {}});
    EXPECT_TRUE(b.state.is_complete());
    EXPECT_EQ(b.tree->total_size({0, 0}), 46u);
    EXPECT_EQ(b.baseline->sizes, (Sizes{36, 35, 5})) << "taken once, only carried";
    // The folder grew by 10 since the baseline.
    ASSERT_EQ(b.rows.size(), 1u);
    EXPECT_EQ(b.rows[0].change, 10);
}

TEST(BrowserState, ErrorsAndMissedChanges) {
    Fed fed;
    Browser& b = *fed.browser;
    b.scan_running = true;
    b.rescanning = "a";
    fed.sender.send(core::LiveItem(std::unexpected(core::Error::text("boom"))));
    b.drain_events(fed.now);
    EXPECT_FALSE(b.scan_running);
    EXPECT_FALSE(b.rescanning);
    EXPECT_EQ(b.status, "cannot scan: boom");

    fed.send(core::Event::Missed{core::Reason::RootMoved, "/x"});
    const auto first = b.missed->time;
    fed.send(core::Event::Missed{core::Reason::Dropped, "/x"});
    EXPECT_EQ(b.missed->time, first);
    EXPECT_TRUE(b.missed->root_moved);
}

TEST(BrowserState, ShownFolderDeletedMovesToItsParentAndClearsTheFilter) {
    Fed fed;
    Browser& b = *fed.browser;
    fed.send(core::Event::Ready{shared(small_tree())});
    b.path = {"a", "b"};
    b.filter = "x";
    b.select_name = "y";
    b.refresh();
    EXPECT_EQ(b.stack.size(), 3u);
    EXPECT_EQ(b.filter, "x");

    TreeSketch gone("/nonexistent-root", 1);
    gone.folder(0, "a", 10);
    fed.send(core::Event::Changed{shared(gone.build()), {}});
    EXPECT_EQ(b.path, std::vector<std::string>{"a"});
    EXPECT_EQ(b.stack.size(), 2u);
    EXPECT_EQ(b.filter, "");
    EXPECT_FALSE(b.select_name);
}

TEST(BrowserState, FollowedChangesAreSavedAtExitRescansAtOnce) {
    test::TempDir cache;
    test::TempDir root;
    AppEnv env;
    env.cache_dir = cache.path();
    Fed fed(std::nullopt, env, root.path());
    Browser& b = *fed.browser;
    auto saved_total = [&] {
        auto loaded = core::load_cached_tree(cache.path(), b.root);
        return loaded && *loaded ? (*loaded)->tree.total_size({0, 0}) : 0;
    };
    fed.send(core::Event::Ready{shared(small_tree(10))});
    EXPECT_EQ(saved_total(), 16u);
    b.rescanning = "a";
    fed.send(core::Event::Changed{shared(small_tree(30)), {}});
    EXPECT_EQ(saved_total(), 36u) << "a user rescan is saved at once";
    fed.send(core::Event::Changed{shared(small_tree(40)), {}});
    EXPECT_EQ(saved_total(), 36u) << "not saved until exit";
    EXPECT_EQ(b.stop_and_save(), std::nullopt);
    EXPECT_EQ(saved_total(), 46u);
    EXPECT_FALSE(b.status);
}

// Each row's name, and its change when asked for.
std::vector<std::string> rows_of(const Browser& b, bool changes = false) {
    std::vector<std::string> rows;
    for (const auto& row : b.rows) {
        rows.emplace_back(changes ? std::to_string(row.change)
                                  : b.row_name(b.current_folder(), row));
    }
    return rows;
}

struct Folder {
    test::TempDir dir{test::memory_temp_base()};
    uint64_t page = 0;
    Browser b{dir.path(), "t", AppEnv{}, std::nullopt, std::nullopt, false};
    Folder() {
        test::write_file(dir / "big", 8192);
        test::write_file(dir / "small", 4096);
        test::write_file(dir / "also", 4096);
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
        return shared(std::move(built));
    }
};

TEST(LoadRows, FilesFromDiskOncePerScanFoldersFromTheTreeInSizeOrder) {
    Folder f;
    Browser& b = f.b;
    const uint32_t scan = core::next_generation();
    b.set_tree(f.tree(f.page, scan), ScanState::snapshot());
    EXPECT_EQ(rows_of(b), (std::vector<std::string>{"big", "also", "small", "sub"}));
    EXPECT_TRUE(b.rows[3].is_folder());
    EXPECT_EQ(b.rows[3].size, f.page);
    EXPECT_EQ(b.rows[0].size, test::allocated_of(f.dir / "big"));

    // A file written now is listed only in the tree of another scan.
    test::write_file(f.dir / "late", 16384);
    b.refresh();
    b.set_tree(f.tree(f.page, scan), ScanState::complete());
    EXPECT_EQ(b.rows.size(), 4u);
    b.set_tree(f.tree(f.page), ScanState::complete());
    EXPECT_EQ(rows_of(b).front(), "late");
}

TEST(LoadRows, ChangesAgainstTheBaselinesAndTheChangeOrder) {
    Folder f;
    Browser& b = f.b;
    auto first = f.tree(f.page);
    b.baseline = baseline_of(*first);
    b.set_tree(first, ScanState::complete());  // takes the file baseline
    EXPECT_EQ(rows_of(b, true), std::vector<std::string>(4, "0"));
    test::write_file(f.dir / "late", 16384);
    test::write_file(f.dir / "small", 12288);
    b.sort_by_change = true;  // sub grew, big did not: by size big comes first
    b.set_tree(f.tree(2 * f.page), ScanState::complete());
    EXPECT_EQ(rows_of(b), (std::vector<std::string>{"late", "small", "sub", "big", "also"}));
    const auto page = [&](uint64_t n) { return std::to_string(n * f.page); };
    EXPECT_EQ(rows_of(b, true), (std::vector<std::string>{page(4), page(2), page(1), "0", "0"}));
    // A saved scan or a snapshot shows no change.
    b.set_tree(f.tree(2 * f.page), ScanState::snapshot());
    EXPECT_EQ(rows_of(b, true), std::vector<std::string>(5, "0"));
}

}  // namespace
}  // namespace bramwex::app
