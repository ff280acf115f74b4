#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/term/input_decoder.hpp"

namespace bramwex::term {
namespace {

InputEvent press(KeyCode code, KeyModifiers modifiers = NO_MODIFIERS) {
    return KeyEvent{code, modifiers};
}

InputEvent mouse(MouseKind kind, MouseButton button, uint16_t column, uint16_t row,
                 KeyModifiers modifiers = NO_MODIFIERS) {
    return MouseEvent{kind, button, column, row, modifiers};
}

std::vector<InputEvent> decode(std::vector<std::string_view> reads) {
    InputDecoder decoder;
    std::vector<InputEvent> events;
    for (auto bytes : reads) {
        decoder.feed(bytes, events);
    }
    return events;
}

struct DecodeCase {
    const char* what;
    std::string bytes;
    std::vector<InputEvent> events;
};

}  // namespace

void PrintTo(const KeyEvent& key, std::ostream* out) {
    *out << "key " << int(key.code.key) << " '" << uint32_t(key.code.ch) << "' +"
         << int(key.modifiers.bits);
}

void PrintTo(const MouseEvent& m, std::ostream* out) {
    *out << "mouse " << int(m.kind) << " button " << int(m.button) << " at " << m.column << ","
         << m.row << " +" << int(m.modifiers.bits);
}

namespace {

const auto L = MouseButton::Left;
const auto M = MouseButton::Middle;
const auto R = MouseButton::Right;
const auto N = MouseButton::None;

// Every case decodes the same in one read and split into two reads at any
// byte, except right after an ESC: a lone ESC ending a read is Esc at once.
TEST(Decode, TableInOneReadAndSplitAtEveryByte) {
    const std::vector<DecodeCase> cases = {
        {"printable and UTF-8",
         "aZ é日",
         {press(U'a'), press(U'Z'), press(U' '), press(U'é'), press(U'日')}},
        {"Enter, Tab, Backspace",
         "\r\n\t\x7f\x08",
         {press(Key::Enter), press(Key::Enter), press(Key::Tab), press(Key::Backspace),
          press(Key::Backspace)}},
        {"Ctrl+letters",
         std::string("\x01\x03\x1a\x00", 4),
         {press(U'a', CONTROL), press(U'c', CONTROL), press(U'z', CONTROL), press(U' ', CONTROL)}},
        {"Alt+char and Esc Esc",
         "\x1b"
         "a\x1b\x1b"
         "b\x1b\x7f",
         {press(U'a', ALT), press(Key::Esc), press(U'b', ALT), press(Key::Backspace, ALT)}},
        {"cursor keys in CSI and SS3",
         "\x1b[A\x1b[B\x1bOC\x1bOD\x1b[H\x1bOF",
         {press(Key::Up), press(Key::Down), press(Key::Right), press(Key::Left), press(Key::Home),
          press(Key::End)}},
        {"tilde keys",
         "\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[7~\x1b[8~",
         {press(Key::Home), press(Key::Insert), press(Key::Delete), press(Key::End),
          press(Key::PageUp), press(Key::PageDown), press(Key::Home), press(Key::End)}},
        {"function keys",
         "\x1bOP\x1bOQ\x1b[R\x1b[1;2S\x1b[11~\x1b[15~\x1b[24~",
         {press(Key::F1), press(Key::F2), press(Key::F3), press(Key::F4, SHIFT), press(Key::F1),
          press(Key::F5), press(Key::F12)}},
        {"modifiers",
         "\x1b[1;5A\x1b[1;3D\x1b[5;2~\x1b[1;8H\x1b[Z\x1bO5B",
         {press(Key::Up, CONTROL), press(Key::Left, ALT), press(Key::PageUp, SHIFT),
          press(Key::Home, SHIFT | ALT | CONTROL), press(Key::BackTab, SHIFT),
          press(Key::Down, CONTROL)}},
        {"unknown and malformed sequences are dropped whole",
         "\x1b[?25h\x1b[99~\x1b[1;5;7A\x1b[1:2A\x1b[ q\x1bOx\x1bO55A\x1b[I\x1b[200~x",
         {press(U'x')}},
        {"a sequence broken off by ESC: the rest starts anew", "\x1b[12\x1b[A", {press(Key::Up)}},
        {"invalid UTF-8 and C1 are dropped", "\xff\xc3(\xc2\x85z", {press(U'('), press(U'z')}},
        {"lone ESC", "\x1b", {press(Key::Esc)}},
        {"SGR press, release, drag, move",
         "\x1b[<0;1;1M\x1b[<0;1;1m\x1b[<34;5;7M\x1b[<35;80;24M",
         {mouse(MouseKind::Press, L, 0, 0), mouse(MouseKind::Release, L, 0, 0),
          mouse(MouseKind::Drag, R, 4, 6), mouse(MouseKind::Move, N, 79, 23)}},
        {"SGR wheel and modifiers",
         "\x1b[<64;3;4M\x1b[<65;3;4M\x1b[<17;2;2M\x1b[<12;9;9M",
         {mouse(MouseKind::WheelUp, N, 2, 3), mouse(MouseKind::WheelDown, N, 2, 3),
          mouse(MouseKind::Press, M, 1, 1, CONTROL),
          mouse(MouseKind::Press, L, 8, 8, SHIFT | ALT)}},
        {"SGR huge, zero and sideways: clamped or dropped",
         "\x1b[<0;99999999999999;0M\x1b[<66;1;1M\x1b[<999;1;1M\x1b[<128;1;1M",
         {mouse(MouseKind::Press, L, 65535, 0)}},
        {"urxvt",
         "\x1b[32;10;5M\x1b[35;10;5M\x1b[96;1;1M\x1b[5;1;1M",
         {mouse(MouseKind::Press, L, 9, 4), mouse(MouseKind::Release, N, 9, 4),
          mouse(MouseKind::WheelUp, N, 0, 0)}},
        {"X10",
         "\x1b[M !!\x1b[M#\xff\xff\x1b[Ma!!\x1b[M \x1f!\x1b[M  !",
         {mouse(MouseKind::Press, L, 0, 0), mouse(MouseKind::Release, N, 222, 222),
          mouse(MouseKind::WheelDown, N, 0, 0), mouse(MouseKind::Press, L, 0, 0)}},
    };
    for (const auto& c : cases) {
        const std::string_view bytes = c.bytes;
        EXPECT_EQ(decode({bytes}), c.events) << c.what;
        for (size_t cut = 1; cut < bytes.size(); ++cut) {
            if (bytes[cut - 1] != '\x1b') {
                EXPECT_EQ(decode({bytes.substr(0, cut), bytes.substr(cut)}), c.events)
                    << c.what << ", cut after byte " << cut;
            }
        }
    }
    EXPECT_EQ(decode({"\x1b", "[A"}),
              (std::vector<InputEvent>{press(Key::Esc), press(U'['), press(U'A')}));
}

TEST(Decode, UnfinishedWaitsForTheNextRead) {
    InputDecoder decoder;
    std::vector<InputEvent> events;
    decoder.feed("\x1b[1;5", events);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(decoder.waiting());
    decoder.feed("B", events);
    EXPECT_EQ(events, std::vector<InputEvent>{press(Key::Down, CONTROL)});
    EXPECT_FALSE(decoder.waiting());
}

// A burst of mixed input read in chunks of any size decodes to exactly the
// events of its pieces, none lost, none doubled; a sequence too long to be
// one a terminal sends is dropped whole, up to its final byte.
TEST(DecodeBurst, TenThousandBytesInRandomChunks) {
    const std::vector<DecodeCase> pieces = {
        {"", "q", {press(U'q')}},
        {"", "日", {press(U'日')}},
        {"", "\r", {press(Key::Enter)}},
        {"", "\x1b[1;5C", {press(Key::Right, CONTROL)}},
        {"", "\x1bOA", {press(Key::Up)}},
        {"", "\x1b[6~", {press(Key::PageDown)}},
        {"", "\x1bj", {press(U'j', ALT)}},
        {"", "\x1b[<0;12;34M", {mouse(MouseKind::Press, L, 11, 33)}},
        {"", "\x1b[<65;2;3M", {mouse(MouseKind::WheelDown, N, 1, 2)}},
        {"", "\x1b[M\"**", {mouse(MouseKind::Press, R, 9, 9)}},
        {"", "\x1b[?1h", {}},
        {"", "\x1b[" + std::string(70, '1') + "~", {}},
        {"", "\x1b[" + std::string(65, ';') + "q", {}},
    };
    std::mt19937 random(7);
    std::string bytes;
    std::vector<InputEvent> expected;
    while (bytes.size() < 10'000) {
        const auto& piece = pieces[random() % pieces.size()];
        bytes += piece.bytes;
        expected.insert(expected.end(), piece.events.begin(), piece.events.end());
    }
    InputDecoder decoder;
    std::vector<InputEvent> events;
    for (size_t at = 0; at < bytes.size();) {
        size_t size = std::min<size_t>(1 + random() % 300, bytes.size() - at);
        while (at + size < bytes.size() && bytes[at + size - 1] == '\x1b') {
            ++size;  // the lone-ESC rule aside
        }
        decoder.feed(std::string_view(bytes).substr(at, size), events);
        at += size;
    }
    EXPECT_FALSE(decoder.waiting());
    ASSERT_EQ(events.size(), expected.size());
    EXPECT_EQ(events, expected);
}

}  // namespace
}  // namespace bramwex::term
