#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/term/buffer.hpp"
#include "app/term/diff.hpp"
#include "app/term/layout.hpp"
#include "app/term/sgr.hpp"
#include "app/term/style.hpp"

namespace bramwex::term {
namespace {

struct PatchCase {
    const char* what;
    Style base;
    Style over;
    Style expected;
};

void PrintTo(const PatchCase& c, std::ostream* out) {
    *out << c.what;
}

class StylePatch : public testing::TestWithParam<PatchCase> {};

TEST_P(StylePatch, Result) {
    EXPECT_EQ(GetParam().base.patch(GetParam().over), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Table, StylePatch,
                         testing::Values(PatchCase{"absent colours keep the base",
                                                   {NamedColor::Red, Color::indexed(25), BOLD, {}},
                                                   {},
                                                   {NamedColor::Red, Color::indexed(25), BOLD, {}}},
                                         PatchCase{"set colours win",
                                                   {NamedColor::Red, {}, {}, {}},
                                                   {NamedColor::Green, NamedColor::White, {}, {}},
                                                   {NamedColor::Green, NamedColor::White, {}, {}}},
                                         PatchCase{"Reset is a colour, not absence",
                                                   {NamedColor::Red, NamedColor::Blue, {}, {}},
                                                   {Color::reset(), {}, {}, {}},
                                                   {Color::reset(), NamedColor::Blue, {}, {}}},
                                         PatchCase{"modifiers merge",
                                                   {{}, {}, BOLD, ITALIC},
                                                   {{}, {}, UNDERLINED, DIM},
                                                   {{}, {}, BOLD | UNDERLINED, ITALIC | DIM}},
                                         PatchCase{"removed leave the added set",
                                                   {{}, {}, BOLD | DIM, {}},
                                                   {{}, {}, {}, BOLD},
                                                   {{}, {}, DIM, BOLD}},
                                         PatchCase{"added leave the removed set",
                                                   {{}, {}, {}, REVERSED},
                                                   {{}, {}, REVERSED, {}},
                                                   {{}, {}, REVERSED, {}}}));

TEST(CellApply, AddsThenRemovesModifiers) {
    Cell cell;
    cell.apply({NamedColor::Yellow, {}, BOLD | ITALIC, ITALIC});
    EXPECT_EQ(cell.style, (Style{NamedColor::Yellow, Color::reset(), BOLD, {}}));
}

struct DrawCase {
    const char* what;
    uint16_t width;
    uint16_t x;
    const char* text;
    size_t max_width;
    std::string expected_row;
    uint16_t expected_end;
};

void PrintTo(const DrawCase& c, std::ostream* out) {
    *out << c.what;
}

class DrawString : public testing::TestWithParam<DrawCase> {};

TEST_P(DrawString, Row) {
    const auto& c = GetParam();
    Buffer buffer(Rect{0, 0, c.width, 1});
    EXPECT_EQ(buffer.set_stringn(c.x, 0, c.text, c.max_width, {}), c.expected_end) << c.what;
    EXPECT_EQ(buffer.text_rows(), std::vector<std::string>{c.expected_row}) << c.what;
}

constexpr size_t kAll = Buffer::kNoLimit;

INSTANTIATE_TEST_SUITE_P(
    Table, DrawString,
    testing::Values(
        DrawCase{"fits", 5, 1, "abc", kAll, " abc ", 4},
        DrawCase{"clipped at the right edge", 4, 1, "abcdef", kAll, " abc", 4},
        DrawCase{"clipped by the width limit", 5, 0, "abcdef", 2, "ab   ", 2},
        DrawCase{"wide characters", 5, 0, "日本", kAll, "日本 ", 4},
        DrawCase{"a wide character never straddles the edge", 4, 1, "日本", kAll, " 日 ", 3},
        DrawCase{"a flag is one wide character", 3, 0, "🇩🇪x", kAll, "🇩🇪x", 3},
        DrawCase{"a combining mark stays with its base", 3, 0, "e\u0301x", kAll, "e\u0301x ", 2},
        DrawCase{"control characters and bad bytes are replaced", 4, 0, "a\x1b\x9b\xff", kAll,
                 "a\uFFFD\uFFFD\uFFFD", 4},
        DrawCase{"C1 as UTF-8 and DEL are replaced", 3, 0, "\u0085\x7f", kAll, "\uFFFD\uFFFD ", 2},
        DrawCase{"outside the area nothing is drawn", 3, 3, "abc", kAll, "   ", 3}));

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

struct SgrCase {
    Style from;
    Style to;
    const char* bytes;
};

void PrintTo(const SgrCase& c, std::ostream* out) {
    *out << testing::PrintToString(std::string(c.bytes));
}

class SgrChange : public testing::TestWithParam<SgrCase> {};

TEST_P(SgrChange, Bytes) {
    std::string out;
    append_style_change(out, GetParam().from, GetParam().to);
    EXPECT_EQ(out, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SgrChange,
    testing::Values(
        SgrCase{kBlankStyle, kBlankStyle, ""},
        SgrCase{kBlankStyle, {NamedColor::Black, NamedColor::Gray, {}, {}}, "\x1b[30;47m"},
        SgrCase{kBlankStyle, {NamedColor::DarkGray, NamedColor::White, {}, {}}, "\x1b[90;107m"},
        SgrCase{kBlankStyle,
                {Color::indexed(231), Color::indexed(25), BOLD, {}},
                "\x1b[1;38;5;231;48;5;25m"},
        SgrCase{{NamedColor::Red, NamedColor::Red, {}, {}}, kBlankStyle, "\x1b[39;49m"},
        SgrCase{kBlankStyle, {{}, {}, DIM | ITALIC | UNDERLINED | REVERSED, {}}, "\x1b[2;3;4;7m"},
        SgrCase{{NamedColor::Cyan, {}, BOLD | REVERSED, {}},
                {NamedColor::Cyan, {}, REVERSED, {}},
                "\x1b[0;7;36m"}));

// A frame of `width` x `height` with `text` drawn at (x, y).
Buffer frame(uint16_t width, uint16_t height,
             std::vector<std::tuple<uint16_t, uint16_t, std::string, Style>> texts = {}) {
    Buffer buffer(Rect{0, 0, width, height});
    for (const auto& [x, y, text, style] : texts) {
        buffer.set_string(x, y, text, style);
    }
    return buffer;
}

struct DiffCase {
    const char* what;
    Buffer previous;
    Buffer current;
    const char* bytes;
};

void PrintTo(const DiffCase& c, std::ostream* out) {
    *out << c.what;
}

class FrameDiff : public testing::TestWithParam<DiffCase> {};

TEST_P(FrameDiff, Bytes) {
    EXPECT_EQ(diff_frames(GetParam().previous, GetParam().current), GetParam().bytes)
        << GetParam().what;
}

const Style kRed{NamedColor::Red, {}, {}, {}};

INSTANTIATE_TEST_SUITE_P(
    Table, FrameDiff,
    testing::Values(
        DiffCase{"unchanged frame writes nothing", frame(4, 2, {{0, 0, "ab", kRed}}),
                 frame(4, 2, {{0, 0, "ab", kRed}}), ""},
        DiffCase{"one changed cell: move, style, cell, reset", frame(4, 2),
                 frame(4, 2, {{2, 1, "x", kRed}}), "\x1b[2;3H\x1b[31mx\x1b[39m"},
        DiffCase{"neighbouring cells share one move", frame(4, 1), frame(4, 1, {{0, 0, "ab", {}}}),
                 "\x1b[1;1Hab"},
        DiffCase{"a gap needs a move", frame(5, 1), frame(5, 1, {{0, 0, "a", {}}, {3, 0, "b", {}}}),
                 "\x1b[1;1Ha\x1b[1;4Hb"},
        DiffCase{"wide char moves the cursor two columns", frame(5, 1),
                 frame(5, 1, {{0, 0, "日x", {}}}), "\x1b[1;1H日x"},
        DiffCase{"wide char replaced: its right half is written again",
                 frame(3, 1, {{0, 0, "日", {}}}), frame(3, 1, {{0, 0, "a", {}}}), "\x1b[1;1Ha "},
        DiffCase{"combining mark written with its base", frame(3, 1),
                 frame(3, 1, {{1, 0, "e\u0301", {}}}), "\x1b[1;2He\u0301"},
        DiffCase{"after the last column the cursor is unknown", frame(2, 2),
                 frame(2, 2, {{1, 0, "a", {}}, {0, 1, "b", {}}}), "\x1b[1;2Ha\x1b[2;1Hb"},
        DiffCase{"text clipped at the right edge", frame(3, 1), frame(3, 1, {{1, 0, "abcdef", {}}}),
                 "\x1b[1;2Hab"},
        DiffCase{"zero-size frames", frame(0, 0), frame(0, 0), ""}));

TEST(FrameRedraw, ClearsThenDrawsOnlyWhatIsNotBlank) {
    EXPECT_EQ(redraw_frame(frame(3, 2, {{1, 1, "z", {{}, {}, BOLD, {}}}})),
              "\x1b[0m\x1b[2J\x1b[2;2H\x1b[1mz\x1b[0m");
    EXPECT_EQ(redraw_frame(frame(0, 0)), "\x1b[0m\x1b[2J");
}

struct SplitCase {
    uint16_t height;
    std::vector<Constraint> constraints;
    std::vector<uint16_t> heights;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << testing::PrintToString(c.heights);
}

class SplitRows : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitRows, Heights) {
    const auto rows = split_rows(Rect{2, 3, 10, GetParam().height}, GetParam().constraints);
    std::vector<uint16_t> heights;
    uint16_t y = 3;
    for (const Rect& row : rows) {
        EXPECT_EQ(row.x, 2);
        EXPECT_EQ(row.width, 10);
        EXPECT_EQ(row.y, y);
        y = static_cast<uint16_t>(y + row.height);
        heights.push_back(row.height);
    }
    EXPECT_EQ(heights, GetParam().heights);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitRows,
    testing::Values(
        SplitCase{
            24, {Constraint::length(1), Constraint::fill(), Constraint::length(2)}, {1, 21, 2}},
        SplitCase{2, {Constraint::length(1), Constraint::fill(), Constraint::length(2)}, {1, 0, 1}},
        SplitCase{0, {Constraint::length(1), Constraint::fill()}, {0, 0}},
        SplitCase{10, {Constraint::fill(1), Constraint::fill(2)}, {4, 6}},
        SplitCase{5, {Constraint::fill(), Constraint::length(1), Constraint::fill()}, {2, 1, 2}}));

}  // namespace
}  // namespace bramwex::term
