#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/term/buffer.hpp"
#include "app/term/diff.hpp"
#include "app/term/layout.hpp"
#include "app/term/sgr.hpp"
#include "app/term/style.hpp"

namespace bramwex::term {
namespace {

TEST(Style, PatchKeepsAbsentColoursAndMergesModifiers) {
    const std::vector<std::tuple<const char*, Style, Style, Style>> cases = {
        {"absent colours keep the base",
         {NamedColor::Red, Color::indexed(25), BOLD, {}},
         {},
         {NamedColor::Red, Color::indexed(25), BOLD, {}}},
        {"set colours win",
         {NamedColor::Red, {}, {}, {}},
         {NamedColor::Green, NamedColor::White, {}, {}},
         {NamedColor::Green, NamedColor::White, {}, {}}},
        {"Reset is a colour, not absence",
         {NamedColor::Red, NamedColor::Blue, {}, {}},
         {Color::reset(), {}, {}, {}},
         {Color::reset(), NamedColor::Blue, {}, {}}},
        {"modifiers merge",
         {{}, {}, BOLD, ITALIC},
         {{}, {}, UNDERLINED, DIM},
         {{}, {}, BOLD | UNDERLINED, ITALIC | DIM}},
        {"removed leave the added set",
         {{}, {}, BOLD | DIM, {}},
         {{}, {}, {}, BOLD},
         {{}, {}, DIM, BOLD}},
        {"added leave the removed set",
         {{}, {}, {}, REVERSED},
         {{}, {}, REVERSED, {}},
         {{}, {}, REVERSED, {}}},
    };
    for (const auto& [what, base, over, expected] : cases) {
        EXPECT_EQ(base.patch(over), expected) << what;
    }
    Cell cell;
    cell.apply({NamedColor::Yellow, {}, BOLD | ITALIC, ITALIC});
    EXPECT_EQ(cell.style, (Style{NamedColor::Yellow, Color::reset(), BOLD, {}}));
}

TEST(Buffer, DrawStringClipsReplacesAndKeepsGraphemesWhole) {
    constexpr size_t kAll = Buffer::kNoLimit;
    struct Case {
        const char* what;
        uint16_t width, x;
        const char* text;
        size_t max_width;
        std::string row;
        uint16_t end;
    };
    const std::vector<Case> cases = {
        {"fits", 5, 1, "abc", kAll, " abc ", 4},
        {"clipped at the right edge", 4, 1, "abcdef", kAll, " abc", 4},
        {"clipped by the width limit", 5, 0, "abcdef", 2, "ab   ", 2},
        {"wide characters", 5, 0, "日本", kAll, "日本 ", 4},
        {"a wide character never straddles the edge", 4, 1, "日本", kAll, " 日 ", 3},
        {"a flag is one wide character", 3, 0, "🇩🇪x", kAll, "🇩🇪x", 3},
        {"a combining mark stays with its base", 3, 0, "e\u0301x", kAll, "e\u0301x ", 2},
        {"control characters and bad bytes", 4, 0, "a\x1b\x9b\xff", kAll, "a\uFFFD\uFFFD\uFFFD", 4},
        {"C1 as UTF-8 and DEL are replaced", 3, 0, "\u0085\x7f", kAll, "\uFFFD\uFFFD ", 2},
        {"outside the area nothing is drawn", 3, 3, "abc", kAll, "   ", 3},
    };
    for (const auto& c : cases) {
        Buffer buffer(Rect{0, 0, c.width, 1});
        EXPECT_EQ(buffer.set_stringn(c.x, 0, c.text, c.max_width, {}), c.end) << c.what;
        EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{c.row}) << c.what;
    }
}

TEST(Buffer, ZeroSizeAreasDrawNothing) {
    Buffer empty(Rect{0, 0, 0, 0});
    EXPECT_EQ(empty.set_string(0, 0, "abc", {}), 0);
    empty.set_style(Rect{0, 0, 10, 10}, {{}, {}, BOLD, {}});
    Buffer zero_width(Rect{0, 0, 0, 3});
    EXPECT_EQ(zero_width.set_line(0, 1, Line({Span("x")})), 0);
    EXPECT_TRUE(zero_width.cells().empty());
}

TEST(Buffer, OverwritingHalfAWideCharacterBlanksTheOtherHalf) {
    Buffer buffer(Rect{0, 0, 4, 1});
    buffer.set_string(0, 0, "日本", {});
    buffer.set_string(1, 0, "x", {});  // right half of 日
    buffer.set_string(2, 0, "y", {});  // left half of 本
    EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{" xy "});
    EXPECT_FALSE(buffer.at(3, 0).skip);
}

TEST(Buffer, LineStyleUnderSpansAndStopsAtFirstMisfit) {
    Buffer buffer(Rect{0, 0, 6, 1});
    const Line line({Span("ab", {NamedColor::Red, {}, {}, {}}), Span("日本", {}), Span("z")},
                    {NamedColor::Green, {}, BOLD, {}});
    EXPECT_EQ(line.width(), 7u);
    EXPECT_EQ(buffer.set_line(0, 0, line, 5), 4);
    EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{"ab日  "});
    EXPECT_EQ(buffer.at(0, 0).style, (Style{NamedColor::Red, Color::reset(), BOLD, {}}));
    EXPECT_EQ(buffer.at(2, 0).style, (Style{NamedColor::Green, Color::reset(), BOLD, {}}));
    EXPECT_EQ(buffer.at(4, 0).style, kBlankStyle);
}

TEST(Sgr, StyleChangeBytes) {
    const std::vector<std::tuple<Style, Style, std::string>> cases = {
        {kBlankStyle, kBlankStyle, ""},
        {kBlankStyle, {NamedColor::Black, NamedColor::Gray, {}, {}}, "\x1b[30;47m"},
        {kBlankStyle, {NamedColor::DarkGray, NamedColor::White, {}, {}}, "\x1b[90;107m"},
        {kBlankStyle,
         {Color::indexed(231), Color::indexed(25), BOLD, {}},
         "\x1b[1;38;5;231;48;5;25m"},
        {{NamedColor::Red, NamedColor::Red, {}, {}}, kBlankStyle, "\x1b[39;49m"},
        {kBlankStyle, {{}, {}, DIM | ITALIC | UNDERLINED | REVERSED, {}}, "\x1b[2;3;4;7m"},
        {{NamedColor::Cyan, {}, BOLD | REVERSED, {}},
         {NamedColor::Cyan, {}, REVERSED, {}},
         "\x1b[0;7;36m"},
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
    const Style red{NamedColor::Red, {}, {}, {}};
    const std::vector<std::tuple<const char*, Buffer, Buffer, std::string>> cases = {
        {"unchanged frame writes nothing", frame(4, 2, {{0, 0, "ab", red}}),
         frame(4, 2, {{0, 0, "ab", red}}), ""},
        {"one changed cell: move, style, cell, reset", frame(4, 2), frame(4, 2, {{2, 1, "x", red}}),
         "\x1b[2;3H\x1b[31mx\x1b[39m"},
        {"neighbouring cells share one move", frame(4, 1), frame(4, 1, {{0, 0, "ab", {}}}),
         "\x1b[1;1Hab"},
        {"a gap needs a move", frame(5, 1), frame(5, 1, {{0, 0, "a", {}}, {3, 0, "b", {}}}),
         "\x1b[1;1Ha\x1b[1;4Hb"},
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
        {"text clipped at the right edge", frame(3, 1), frame(3, 1, {{1, 0, "abcdef", {}}}),
         "\x1b[1;2Hab"},
        {"zero-size frames", frame(0, 0), frame(0, 0), ""},
    };
    for (const auto& [what, previous, current, bytes] : cases) {
        EXPECT_EQ(diff_frames(previous, current), bytes) << what;
    }
    EXPECT_EQ(redraw_frame(frame(3, 2, {{1, 1, "z", {{}, {}, BOLD, {}}}})),
              "\x1b[0m\x1b[2J\x1b[2;2H\x1b[1mz\x1b[0m");
    EXPECT_EQ(redraw_frame(frame(0, 0)), "\x1b[0m\x1b[2J");
}

TEST(SplitRows, HeightsStackFromTheTop) {
    const auto length = Constraint::length;
    const auto fill = Constraint::fill;
    const std::vector<std::tuple<uint16_t, std::vector<Constraint>, std::vector<uint16_t>>> cases =
        {
            {24, {length(1), fill(1), length(2)}, {1, 21, 2}},
            {2, {length(1), fill(1), length(2)}, {1, 0, 1}},
            {0, {length(1), fill(1)}, {0, 0}},
            {10, {fill(1), fill(2)}, {4, 6}},
            {5, {fill(1), length(1), fill(1)}, {2, 1, 2}},
        };
    for (const auto& [height, constraints, expected] : cases) {
        std::vector<uint16_t> heights;
        uint16_t y = 3;
        for (const Rect& row : split_rows(Rect{2, 3, 10, height}, constraints)) {
            EXPECT_EQ(row.x, 2);
            EXPECT_EQ(row.width, 10);
            EXPECT_EQ(row.y, y);
            y = static_cast<uint16_t>(y + row.height);
            heights.push_back(row.height);
        }
        EXPECT_EQ(heights, expected) << "height " << height;
    }
}

}  // namespace
}  // namespace bramwex::term
