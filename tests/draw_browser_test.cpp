// The browse screen: column layout, the cells of a row, the texts of the
// status lines and whole frames compared line by line.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <thread>

#include "app/browse/bottom_line.hpp"
#include "app/browse/cells.hpp"
#include "app/browse/columns.hpp"
#include "app/browse/draw_browser.hpp"
#include "app/browse/info_box.hpp"
#include "app/browse/row_cells.hpp"
#include "app/browse/summary_line.hpp"
#include "app/browse/title_line.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using test::TreeSketch;
using namespace std::chrono_literals;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = KiB * 1024;
const StyleTable& kColour = StyleTable::coloured();

std::string text_of(const term::Line& line) {
    std::string text;
    for (const auto& span : line.spans) {
        text += span.text;
    }
    return text;
}

TEST(ColumnLayout, WidthsAndPlaces) {
    // kind, levels, x, width per column
    using Columns = std::vector<std::array<size_t, 4>>;
    const std::vector<std::tuple<uint16_t, size_t, Columns>> cases = {
        {100, 2, {{0, 1, 0, 20}, {1, 0, 21, 49}, {2, 0, 71, 29}}},
        {162, 3, {{0, 1, 0, 30}, {1, 0, 31, 60}, {2, 0, 92, 40}}},  // one more ancestor from 163
        {163, 3, {{0, 2, 0, 30}, {0, 1, 31, 30}, {1, 0, 62, 60}, {2, 0, 123, 40}}},
        {200, 4, {{0, 3, 0, 30}, {0, 2, 31, 30}, {0, 1, 62, 30}, {1, 0, 93, 60}, {2, 0, 154, 40}}},
    };
    for (const auto& [width, depth, expected] : cases) {
        Columns got;
        for (const auto& column : layout_columns({0, 1, width, 20}, depth)) {
            got.push_back({static_cast<size_t>(column.kind), column.levels, column.area.x,
                           column.area.width});
        }
        EXPECT_EQ(got, expected) << width << " depth " << depth;
    }
}

TEST(Cells, FitToWidthCutsInTheMiddle) {
    struct Case {
        std::string text;
        size_t max;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abcdefghij", 9, "abcd…ghij"},
        {"日本語テキスト", 6, "日…ト"},
        {"a\x01"
         "bcdef",
         4, "a\xEF\xBF\xBD…f"},  // drawn as U+FFFD, one column
    };
    for (const Case& c : cases) {
        const std::string text = text_of(term::Line(fit_to_width(c.text, {}, c.max, kColour)));
        EXPECT_EQ(text, c.expected) << c.text << " in " << c.max;
        EXPECT_LE(term::display_width(text), c.max);
    }
    EXPECT_TRUE(fit_to_width("abc", {}, 0, kColour).empty());
    EXPECT_EQ(fit_to_width("abcdef", {}, 3, kColour)[1].style, kColour[Look::Quiet]);
    // Controls, bad bytes and what may join them (a variation selector, a
    // joiner, a skin tone, an accent, a prepended mark, U+FFFD itself).
    const std::vector<std::string> pieces = {"a",      "日",     "\x01", "\xff",
                                             "\uFE0F", "\u200D", "👍",    "\U0001F3FD",
                                             "\u0301", "\u0600", "🇺",    "\uFFFD"};
    std::mt19937 random(5);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (size_t k = random() % 12; k > 0; --k) {
            text += pieces[random() % pieces.size()];
        }
        const size_t max = random() % 12;
        size_t drawn = 0;
        for (const auto& span : fit_to_width(text, {}, max, kColour)) {
            drawn += term::display_width(span.text);
        }
        EXPECT_LE(drawn, max) << testing::PrintToString(text);
    }
}

TEST(Cells, AgesCountsPercentsSizesHintsAndRules) {
    for (const auto& [seconds, text] : std::vector<std::pair<uint64_t, std::string>>{
             {59, "59 s"}, {60, "1 min"}, {86399, "23 h"}, {86400, "1 d"}}) {
        EXPECT_EQ(format_age(seconds), text);
    }
    for (const auto& [n, text] : std::vector<std::pair<uint64_t, std::string>>{
             {999, "999"}, {1234567, "1,234,567"}, {100000, "100,000"}}) {
        EXPECT_EQ(format_count(n), text);
    }
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    // clang-format off
    using Share = std::tuple<uint64_t, uint64_t, std::string>;
    for (const auto& [value, total, text] : std::vector<Share>{
        {10, 0, "     "}, {1, 10000, "<0.1%"}, {9999, 10000, " 100%"}, {kMax / 2, kMax, "50.0%"}}) {
        // clang-format on
        EXPECT_EQ(percent_cell(value, total), text) << value << " of " << total;
    }
    // clang-format off
    using Cell = std::tuple<bool, uint64_t, std::string, Look>;
    for (const auto& [si, size, text, look] : std::vector<Cell>{
        {false, 1024, "   1.0 KiB", Look::SizeKiB}, {true, 999, "     999 B", Look::SizeBytes},
        {true, 1'000'000'000, "    1.0 GB", Look::SizeGiB}}) {
        // clang-format on
        EXPECT_EQ(size_cell(si, kColour, size).text, text) << size;
        EXPECT_EQ(size_cell(si, kColour, size).style, kColour[look]) << size;
    }
    // Keys in [brackets], unstyled text in (parentheses).
    std::string shape;
    for (const auto& span : hint_line(kColour, "arrows/jk move  ? help  x").spans) {
        const bool is_key = span.style == kColour[Look::HintKey];
        shape += (is_key ? "[" : "(") + span.text + (is_key ? "]" : ")");
    }
    EXPECT_EQ(shape, "[arrows/jk]( move)(  )[?]( help)(  )[x]");
    EXPECT_EQ(browse_hint_line(10), "hjkl move  ? help  q quit");
    EXPECT_EQ(titled_rule(8, "日本"), "+ 日本 +");
    // Names are cut in the middle in the frames; here the edges.
    EXPECT_TRUE(fit_to_width("abc", {}, 0, kColour).empty());
    EXPECT_EQ(fit_to_width("abcdef", {}, 3, kColour)[1].style, kColour[Look::Quiet]);
}

TEST(Cells, NameCellAndRowLine) {
    const term::Span file = name_cell(core::kNoLabelTier, RowKind::File, "a\xff", kColour);
    EXPECT_EQ(file.text, "a\xEF\xBF\xBD");
    EXPECT_EQ(file.style, term::Style{});
    const term::Span cache = name_cell(1, RowKind::Folder, "node_modules", kColour);
    EXPECT_EQ(cache.text, "node_modules/");
    EXPECT_EQ(cache.style, kColour[Look::FolderName].patch(kColour[Look::TierCache]));
    RowContext context{&kColour, false, true, true, true, true, 10000, 66};
    BrowseRow row;
    row.kind = RowKind::Folder;
    row.size = 2 * KiB;
    row.reclaimable = KiB;
    row.change = -int64_t{KiB};
    RowFacts facts{"a-rather-long-folder-name", true, "EACCES", false, true};
    const term::Line line = row_line(context, row, facts);
    EXPECT_EQ(text_of(line), "   2.0 KiB+   1.0 KiB+   -1.0 KiB 20.5% a-r…me/ (denied: EACCES) *");
    EXPECT_EQ(line.width(), 66u);
    context.width = 40;
    EXPECT_EQ(text_of(row_line(context, row, facts)),
              "   2.0 KiB+   1.0 KiB+   -1.0 KiB 20.5%  (denied: EACCES) *");
    // Elsewhere than the current column: size, marker, blank, name.
    context.current = false;
    row.kind = RowKind::File;
    row.size = 1;
    EXPECT_EQ(text_of(row_line(context, row, {"f", false, std::nullopt, false, false})),
              "       1 B  f");
}

// A browser on a tree that is not on disk: folder rows only.
struct Shown {
    std::unique_ptr<Browser> browser;
    WallClock::time_point now = WallClock::time_point(100000s);

    explicit Shown(bool colours = true) {
        AppEnv env;
        env.colours = colours;
        browser = std::make_unique<Browser>("/nonexistent-root", "~/data", env, std::nullopt,
                                            std::nullopt, false);
        TreeSketch sketch("/nonexistent-root", 1 * KiB);
        const uint32_t photos = sketch.folder(0, "photos", 300 * MiB);
        sketch.folder(photos, "2023", 200 * MiB);
        sketch.folder(photos, "2024", 100 * MiB);
        sketch.folder(0, "docs", 5 * MiB);
        sketch.folder(0, "locked", 0, core::kFlagUnreadable, 13);
        browser->set_tree(std::make_shared<const core::Tree>(sketch.build()),
                          ScanState::complete());
    }
    // The rows drawn, trailing blanks cut; the frame is kept for its styles.
    std::vector<std::string> draw(uint16_t width, uint16_t height) {
        frame = term::Buffer({0, 0, width, height});
        draw_browser(*browser, frame, frame.area(), StyleTable::choose(browser->settings.colours),
                     now);
        auto rows = frame.text_rows();
        for (auto& row : rows) {
            row.erase(row.find_last_not_of(' ') + 1);
        }
        return rows;
    }
    term::Buffer frame;
};

TEST(DrawBrowser, RootAtSixtyColumns) {
    Shown shown;
    const std::vector<std::string> expected = {
        "~/data  605.0 MiB | 1 folder unreadable (d)",
        " 600.0 MiB  99.2% photos/            200.0 MiB  2023/",
        "   5.0 MiB   0.8% docs/              100.0 MiB  2024/",
        "       0 B         (denied: EACCES)",
        "",
        "photos/ | 600.0 MiB  own 300.0 MiB",
        "hjkl move  i info  u units  space pick  ? help  q quit",
    };
    EXPECT_EQ(shown.draw(60, 7), expected);
    EXPECT_EQ(shown.browser->geometry, (term::Rect{0, 1, 60, 4}));
    // The selected row is styled across the column, the preview highlights nothing.
    EXPECT_EQ(shown.frame.at(34, 1).style.bg, kColour[Look::Selected].bg);
    EXPECT_NE(shown.frame.at(36, 1).style.bg, kColour[Look::Selected].bg);
}

TEST(DrawBrowser, NarrowOneLevelDownWithAFilterAndNoColour) {
    Shown shown(false);
    Browser& b = *shown.browser;
    b.path = {"photos"};
    b.select_name = "2024";
    b.refresh();
    const auto rows = shown.draw(100, 6);
    EXPECT_EQ(rows[1], " 600.0 MiB  photos/   200.0 MiB  33.3% 2023/");
    EXPECT_EQ(rows[2], "   5.0 MiB  docs/     100.0 MiB  16.7% 2024/");
    // Plain table: the selection reversed, the parent's row underlined.
    EXPECT_TRUE(shown.frame.at(30, 2).style.add.contains(term::REVERSED));
    EXPECT_TRUE(shown.frame.at(0, 1).style.add.contains(term::UNDERLINED));

    b.filter = "zz";
    b.filter_editing = true;
    b.refresh();
    EXPECT_EQ(shown.draw(59, 4),
              (std::vector<std::string>{"~/data  605.0 MiB | 1 folder unreadable (d)",
                                        "no matches for 'zz'", "", "/zz  enter keep  esc clear"}));
}

// The tree is gone until the first snapshot: no total or change from it, and
// an open list still fills the middle.
TEST(DrawBrowser, RightAfterRescanningEverything) {
    Shown shown;
    Browser& b = *shown.browser;
    b.baseline = Baseline{{605 * MiB}, {}};
    b.baseline_time = shown.now - 9s;
    b.expected_total = 2000 * MiB;
    b.picks = {"gone.txt"};
    b.rescan_all();
    b.picks_shown = true;
    EXPECT_EQ(shown.draw(100, 4),
              (std::vector<std::string>{
                  "~/data  scanning 0 B of ~2.0 GiB (0%)",
                  "1 picked, 0 B in all:", "      gone  gone.txt",
                  "arrows/jk move  r reveal  o open  space unpick  p close  ? help  q quit"}));
    b.picks_shown = false;
    b.largest_shown.emplace();
    EXPECT_EQ(shown.draw(100, 4)[1], "scanning...");
}

// A first scan that fails leaves no tree and nothing running: the title is
// the root alone, the bottom line says why.
TEST(DrawBrowser, AFirstScanThatFailed) {
    Shown shown;
    auto failed = std::make_unique<Browser>("/nonexistent-root", "~/data", AppEnv{}, std::nullopt,
                                            std::nullopt, false);
    failed->start_scan();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (failed->scan_running && std::chrono::steady_clock::now() < deadline) {
        failed->drain_events(shown.now);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(failed->scan_running);
    ASSERT_FALSE(failed->tree);
    shown.browser = std::move(failed);
    EXPECT_EQ(shown.draw(60, 4),
              (std::vector<std::string>{"~/data", "", "",
                                        "cannot scan: No such file or directory (os error 2)"}));
}

TEST(StatusLines, TitleSegmentsAndTheirDropping) {
    Shown shown;
    Browser& b = *shown.browser;
    const auto now = shown.now;
    auto title = [&](size_t width) { return text_of(title_line(b, kColour, width, now)); };
    b.baseline = Baseline{{600 * MiB}, {}};
    b.baseline_time = now - 120s;
    b.sort_by_change = true;
    b.rescanning = "photos";
    b.missed = MissedChanges{now - 7200s, {}, false};
    EXPECT_EQ(title(200),
              "~/data  605.0 MiB | changes missed 2 h ago (S rescans) | +5.0 MiB since opened "
              "2 min ago | 1 folder unreadable (d) | sorted by change | rescanning photos/...");
    EXPECT_EQ(title(60), "~/data  605.0 MiB | changes missed 2 h ago (S rescans)");
    EXPECT_EQ(title(5), "~/data  605.0 MiB");

    // A scan that failed after a snapshot was shown: nothing runs.
    b.state = ScanState::snapshot();
    EXPECT_EQ(title(60), "~/data  605.0 MiB | changes missed 2 h ago (S rescans)");
    b.scan_running = true;
    EXPECT_EQ(title(60), "~/data  scanning 605.0 MiB | 6 folders | 0 s");

    Shown saved;
    saved.browser->state = ScanState::saved_at(100000 - 300, 0);
    saved.browser->scan_running = true;
    saved.browser->progress = {3000 * MiB, 1234};
    EXPECT_EQ(text_of(title_line(*saved.browser, kColour, 200, now)),
              "~/data  scanning 2.9 GiB | 1,234 folders | showing the scan saved 5 min ago | 1 "
              "folder unreadable (d)");
}

TEST(StatusLines, SummaryVariantsAndTheBottomLine) {
    Shown shown;
    Browser& b = *shown.browser;
    auto summary = [&](size_t width) { return text_of(*summary_line(b, kColour, width)); };
    b.select_name = "locked";
    b.refresh();
    EXPECT_EQ(summary(80), "locked/ | 0 B  own 0 B | unreadable: EACCES");
    EXPECT_EQ(summary(9), "l…/ | 0 B");
    b.go_up();
    b.path = {};
    b.select_name = "photos";
    b.refresh();
    b.rows[b.selected].tier = 1;
    b.rows[b.selected].label_text = "cache: photos";
    b.rows[b.selected].label_why = "what it is: kept by the app";
    EXPECT_EQ(summary(100), "photos/ | 600.0 MiB  own 300.0 MiB | cache: photos: kept by the app");
    EXPECT_EQ(summary(79), "photos/ | 600.0 MiB  own 300.0 MiB | cache: photos");

    b.status = "cannot run xdg-open:\nno such file";
    EXPECT_EQ(text_of(bottom_line(b, kColour, 80)), "cannot run xdg-open:no such file");
    b.status.reset();
    b.filter = "ph";
    EXPECT_EQ(text_of(bottom_line(b, kColour, 80)), "/ph  esc clear");
}

TEST(Overlays, InfoBoxGeometryAndRows) {
    Shown shown;
    shown.browser->info_shown = true;
    // 36 wide, 21 columns for values, over the columns of the area.
    const std::vector<std::string> narrow = {
        " 600.0 MiB  photos/",
        "  +------------- photos -------------+",
        "  | path       /nonexiste…oot/photos |",
        "  | size       600.0 MiB …300.0 MiB) |",
        "  | folders    2 below               |",
        "  +--------- i or esc close ---------+",
    };
    const auto rows = shown.draw(40, 10);
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 1, rows.begin() + 7), narrow);
}

TEST(Overlays, UnreadableAndPicksViews) {
    Shown shown;
    Browser& b = *shown.browser;
    b.unreadable_shown = true;
    const auto unreadable = shown.draw(80, 5);
    EXPECT_EQ(unreadable[1], "1 directory could not be read, so its contents are not counted:");
    EXPECT_EQ(unreadable[2], "/nonexistent-root/locked  permission denied (try sudo)");
    b.unreadable.assign(1200, {"/nonexistent-root/photos/x", b.unreadable[0].id});
    EXPECT_EQ(count_unreadable_below(b.unreadable, "/nonexistent-root/photo"), 0u) << "a prefix";
    EXPECT_EQ(shown.draw(80, 5)[1],
              "1,200 directories could not be read, so their contents are not counted:");
    b.unreadable_shown = false;

    b.picks = {"photos/2023", "gone.txt", "docs"};
    b.picks_shown = true;
    b.picks_selected = 2;
    EXPECT_EQ(shown.draw(80, 5)[3], "   5.0 MiB  docs");
    EXPECT_EQ(b.picks_scroll, 1u);
    EXPECT_EQ(shown.frame.at(79, 3).style.bg, kColour[Look::Selected].bg);
    b.picks.clear();
    EXPECT_EQ(shown.draw(80, 6)[1], "nothing picked: space picks the item at the cursor");
}

TEST(Overlays, LargestFilesCheckedAsFarAsShownAndRemembered) {
    test::TempDir dir;
    TreeSketch sketch(dir.path());
    for (int k = 1; k <= 5; ++k) {
        test::write_file(dir / ("f" + std::to_string(k)), 1);
        sketch.file(0, "f" + std::to_string(k), 100 - k);
    }
    Shown shown;
    Browser& b = *(shown.browser = std::make_unique<Browser>(dir.path(), "t", AppEnv{},
                                                             std::nullopt, std::nullopt, false));
    b.set_tree(std::make_shared<const core::Tree>(sketch.build()), ScanState::complete());
    b.largest_shown.emplace();
    EXPECT_EQ(shown.draw(40, 4)[1], "      99 B  f1");
    EXPECT_EQ(b.largest_shown->size(), 2u) << "only the two lines shown are checked";
    ::unlink((dir / "f1").c_str());
    EXPECT_EQ(shown.draw(40, 4)[1], "      99 B  f1") << "the first answer is kept while open";
    b.largest_shown.emplace();
    b.largest_selected = 4;  // End went past what was checked
    EXPECT_EQ(shown.draw(40, 4)[2], "      95 B  f5");
    EXPECT_EQ(b.largest_selected, 3u);
}

}  // namespace
}  // namespace bramwex::app
