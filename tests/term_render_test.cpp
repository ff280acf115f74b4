#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/term/buffer.hpp"
#include "app/term/diff.hpp"
#include "app/term/layout.hpp"
#include "app/term/sgr.hpp"

namespace bramwex::term {
namespace {

using enum NamedColor;

TEST(Style, PatchSetsColoursAndMovesModifiersBetweenSets) {
    EXPECT_EQ((Style{Red, Blue, {}, {}}.patch({Color::reset(), White, {}, {}})),
              (Style{Color::reset(), White, {}, {}}));
    // Removed modifiers leave the added set, added ones the removed set.
    EXPECT_EQ((Style{{}, {}, BOLD | DIM, REVERSED}.patch({{}, {}, REVERSED, BOLD})),
              (Style{{}, {}, DIM | REVERSED, BOLD}));
}

TEST(Buffer, DrawStringClipsReplacesAndKeepsGraphemesWhole) {
    constexpr size_t kAll = Buffer::kNoLimit;
    const std::vector<std::tuple<uint16_t, uint16_t, const char*, size_t, std::string, uint16_t>>
        cases = {
            // width, x, text, width limit, the row drawn, where drawing ended
            {5, 1, "abc", kAll, " abc ", 4},
            {4, 1, "abcdef", kAll, " abc", 4},
            {5, 0, "abcdef", 2, "ab   ", 2},
            {5, 0, "日本", kAll, "日本 ", 4},
            {4, 1, "日本", kAll, " 日 ", 3},  // a wide character never straddles the edge
            {3, 0, "🇩🇪x", kAll, "🇩🇪x", 3},
            {3, 0, "e\u0301x", kAll, "e\u0301x ", 2},
            // Control characters, C1 (raw and as UTF-8), DEL and bad bytes never reach a cell.
            {4, 0, "a\x1b\x9b\xff", kAll, "a\uFFFD\uFFFD\uFFFD", 4},
            {3, 0, "\u0085\x7f", kAll, "\uFFFD\uFFFD ", 2},
            {3, 3, "abc", kAll, "   ", 3},
            {0, 0, "abc", kAll, "", 0},
        };
    for (const auto& [width, x, text, limit, row, end] : cases) {
        Buffer buffer(Rect{0, 0, width, 1});
        EXPECT_EQ(buffer.set_stringn(x, 0, text, limit, {}), end) << text;
        EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{row}) << text;
    }
}

// Halves of wide characters overwritten; a line's style under its spans' own.
TEST(Buffer, WideHalvesAndLineStyles) {
    Buffer buffer(Rect{0, 0, 6, 1});
    buffer.set_string(0, 0, "日本", {});
    buffer.set_string(1, 0, "x", {});  // right half of 日
    buffer.set_string(2, 0, "y", {});  // left half of 本
    EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{" xy   "});
    EXPECT_FALSE(buffer.at(3, 0).skip);
    const Line line({Span("ab", {Red, {}, {}, {}}), Span("日本", {}), Span("z")},
                    {Green, {}, BOLD, {}});
    EXPECT_EQ(buffer.set_line(0, 0, line, 5), 4);  // stops at the first span that does not fit
    EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{"ab日  "});
    EXPECT_EQ(buffer.at(0, 0).style, (Style{Red, Color::reset(), BOLD, {}}));
    EXPECT_EQ(buffer.at(2, 0).style, (Style{Green, Color::reset(), BOLD, {}}));
    EXPECT_EQ(buffer.at(4, 0).style, kBlankStyle);
}

TEST(Sgr, StyleChangeBytes) {
    const std::vector<std::tuple<Style, Style, std::string>> cases = {
        {kBlankStyle, {Black, Gray, {}, {}}, "\x1b[30;47m"},
        {kBlankStyle, {DarkGray, White, {}, {}}, "\x1b[90;107m"},
        {kBlankStyle,
         {Color::indexed(231), Color::indexed(25), BOLD, {}},
         "\x1b[1;38;5;231;48;5;25m"},
        {{Red, Red, {}, {}}, kBlankStyle, "\x1b[39;49m"},
        {kBlankStyle, {{}, {}, DIM | ITALIC | UNDERLINED | REVERSED, {}}, "\x1b[2;3;4;7m"},
        {{Cyan, {}, BOLD | REVERSED, {}}, {Cyan, {}, REVERSED, {}}, "\x1b[0;7;36m"},
    };
    for (const auto& [from, to, bytes] : cases) {
        std::string out;
        append_style_change(out, from, to);
        EXPECT_EQ(out, bytes) << testing::PrintToString(bytes);
    }
}

// A frame of `width` x `height` with `text` drawn at (x, y).
Buffer frame(uint16_t width, uint16_t height,
             std::vector<std::tuple<uint16_t, uint16_t, std::string, Style>> texts = {}) {
    Buffer buffer(Rect{0, 0, width, height});
    for (const auto& [x, y, text, style] : texts) {
        buffer.set_string(x, y, text, style);
    }
    return buffer;
}

TEST(FrameDiff, Bytes) {
    const Style red{Red, {}, {}, {}};
    const std::vector<std::tuple<const char*, Buffer, Buffer, std::string>> cases = {
        {"one changed cell: move, style, cell, reset", frame(4, 2), frame(4, 2, {{2, 1, "x", red}}),
         "\x1b[2;3H\x1b[31mx\x1b[39m"},
        {"a gap needs a move, neighbours share one", frame(5, 1),
         frame(5, 1, {{0, 0, "ab", {}}, {3, 0, "c", {}}}), "\x1b[1;1Hab\x1b[1;4Hc"},
        {"wide char moves the cursor two columns", frame(5, 1), frame(5, 1, {{0, 0, "日x", {}}}),
         "\x1b[1;1H日x"},
        {"wide char replaced: its right half is written again", frame(3, 1, {{0, 0, "日", {}}}),
         frame(3, 1, {{0, 0, "a", {}}}), "\x1b[1;1Ha "},
        {"a cluster of uncertain width: blanks, it, a move, what it may spill over", frame(7, 1),
         frame(7, 1, {{1, 0, "👍🏽x", {}}}), "\x1b[1;2H  \x1b[1;2H👍🏽\x1b[1;4Hx "},
        {"where it may spill past the row: a certain stand-in", frame(4, 1),
         frame(4, 1, {{2, 0, "👨‍👩‍👧", {}}}), "\x1b[1;3H👨"},
        {"after the last column the cursor is unknown", frame(2, 2),
         frame(2, 2, {{1, 0, "a", {}}, {0, 1, "b", {}}}), "\x1b[1;2Ha\x1b[2;1Hb"},
        {"zero-size frames", frame(0, 0), frame(0, 0), ""},
    };
    for (const auto& [what, previous, current, bytes] : cases) {
        EXPECT_EQ(diff_frames(previous, current), bytes) << what;
    }
    EXPECT_EQ(redraw_frame(frame(3, 2, {{1, 1, "z", {{}, {}, BOLD, {}}}})),
              "\x1b[0m\x1b[2J\x1b[2;2H\x1b[1mz\x1b[0m");
}

// The browser's title, list and status rows, down to a screen too small for them.
TEST(SplitRows, HeightsStackFromTheTop) {
    const std::vector<Constraint> rows = {Constraint::length(1), Constraint::fill(1),
                                          Constraint::length(2)};
    EXPECT_EQ(split_rows(Rect{2, 3, 10, 24}, rows),
              (std::vector<Rect>{{2, 3, 10, 1}, {2, 4, 10, 21}, {2, 25, 10, 2}}));
    EXPECT_EQ(split_rows(Rect{2, 3, 10, 2}, rows),
              (std::vector<Rect>{{2, 3, 10, 1}, {2, 4, 10, 0}, {2, 4, 10, 1}}));
    EXPECT_EQ(split_rows(Rect{2, 3, 10, 0}, rows), std::vector<Rect>(3, Rect{2, 3, 10, 0}));
}

}  // namespace
}  // namespace bramwex::term
