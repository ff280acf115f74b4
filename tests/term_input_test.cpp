#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "app/term/input_decoder.hpp"
#include "app/term/input_reader.hpp"
#include "app/term/terminal.hpp"
#include "core/base/channel.hpp"

namespace bramwex::term {

void PrintTo(const KeyEvent& key, std::ostream* out) {
    *out << "key " << int(key.code.key) << " '" << uint32_t(key.code.ch) << "' +"
         << int(key.modifiers.bits);
}

void PrintTo(const MouseEvent& m, std::ostream* out) {
    *out << "mouse " << int(m.kind) << " button " << int(m.button) << " at " << m.column << ","
         << m.row << " +" << int(m.modifiers.bits);
}

namespace {

const auto press = [](KeyCode code, KeyModifiers m = {}) -> InputEvent {
    return KeyEvent{code, m};
};
const auto mouse = [](MouseKind kind, MouseButton button, uint16_t x, uint16_t y,
                      KeyModifiers m = {}) -> InputEvent {
    return MouseEvent{kind, button, x, y, m};
};

std::vector<InputEvent> decode(std::vector<std::string_view> reads) {
    InputDecoder decoder;
    std::vector<InputEvent> events;
    for (auto bytes : reads) {
        decoder.feed(bytes, events);
    }
    return events;
}

struct DecodeCase {
    std::string bytes;
    std::vector<InputEvent> events;
};

using enum Key;
using enum MouseKind;
const auto L = MouseButton::Left;
const auto M = MouseButton::Middle;
const auto R = MouseButton::Right;
const auto N = MouseButton::None;

const std::vector<DecodeCase> kCases = {
    {"aZ é日", {press(U'a'), press(U'Z'), press(U' '), press(U'é'), press(U'日')}},
    {std::string("\r\n\t\x7f\x08\x01\x03\x1a\x00", 9),
     {press(Enter), press(Enter), press(Tab), press(Backspace), press(Backspace),
      press(U'a', CONTROL), press(U'c', CONTROL), press(U'z', CONTROL), press(U' ', CONTROL)}},
    {"\033a\033\033b\033\x7f",
     {press(U'a', ALT), press(Esc), press(U'b', ALT), press(Backspace, ALT)}},
    {"\x1b[A\x1b[B\x1bOC\x1bOD\x1b[H\x1bOF\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[7~\x1b[8~",
     {press(Up), press(Down), press(Right), press(Left), press(Home), press(End), press(Home),
      press(Insert), press(Delete), press(End), press(PageUp), press(PageDown), press(Home),
      press(End)}},
    {"\x1bOP\x1bOQ\x1b[R\x1b[1;2S\x1b[11~\x1b[15~\x1b[24~",
     {press(F1), press(F2), press(F3), press(F4, SHIFT), press(F1), press(F5), press(F12)}},
    {"\x1b[1;5A\x1b[1;3D\x1b[5;2~\x1b[1;8H\x1b[Z\x1bO5B",
     {press(Up, CONTROL), press(Left, ALT), press(PageUp, SHIFT),
      press(Home, SHIFT | ALT | CONTROL), press(BackTab, SHIFT), press(Down, CONTROL)}},
    // Unknown, malformed and over-long (longer than any a terminal sends)
    // sequences are dropped whole, up to the final byte.
    {"\x1b[?25h\x1b[99~\x1b[1;5;7A\x1b[1:2A\x1b[ q\x1bOx\x1bO55A\x1b[I\x1b[200~x", {press(U'x')}},
    {"\x1b[" + std::string(70, '1') + "~\x1b[" + std::string(65, ';') + "qy", {press(U'y')}},
    // Broken off by ESC, the rest starts anew; invalid UTF-8 and C1 are dropped.
    {"\x1b[12\x1b[A\xff\xc3(\xc2\x85z", {press(Up), press(U'('), press(U'z')}},
    {"\x1b", {press(Esc)}},
    {"\x1b[<0;1;1M\x1b[<0;1;1m\x1b[<34;5;7M\x1b[<35;80;24M\x1b[<64;3;4M\x1b[<65;3;4M\x1b[<17;2;"
     "2M\x1b[<12;9;9M",
     {mouse(Press, L, 0, 0), mouse(Release, L, 0, 0), mouse(Drag, R, 4, 6), mouse(Move, N, 79, 23),
      mouse(WheelUp, N, 2, 3), mouse(WheelDown, N, 2, 3), mouse(Press, M, 1, 1, CONTROL),
      mouse(Press, L, 8, 8, SHIFT | ALT)}},
    {"\x1b[<0;99999999999999;0M\x1b[<66;1;1M\x1b[<999;1;1M\x1b[<128;1;1M",
     {mouse(Press, L, 65535, 0)}},
    {"\x1b[32;10;5M\x1b[35;10;5M\x1b[96;1;1M\x1b[5;1;1M",
     {mouse(Press, L, 9, 4), mouse(Release, N, 9, 4), mouse(WheelUp, N, 0, 0)}},
    {"\x1b[M !!\x1b[M#\xff\xff\x1b[Ma!!\x1b[M \x1f!\x1b[M  !",
     {mouse(Press, L, 0, 0), mouse(Release, N, 222, 222), mouse(WheelDown, N, 0, 0),
      mouse(Press, L, 0, 0)}},
};

// Every case decodes the same in one read and split into two reads at any
// byte, except right after an ESC: a lone ESC ending a read is Esc at once.
TEST(Decode, TableInOneReadAndSplitAtEveryByte) {
    for (const auto& c : kCases) {
        const std::string_view bytes = c.bytes;
        EXPECT_EQ(decode({bytes}), c.events) << testing::PrintToString(c.bytes);
        for (size_t cut = 1; cut < bytes.size(); ++cut) {
            if (bytes[cut - 1] != '\x1b') {
                EXPECT_EQ(decode({bytes.substr(0, cut), bytes.substr(cut)}), c.events)
                    << testing::PrintToString(c.bytes) << " cut after byte " << cut;
            }
        }
    }
    EXPECT_EQ(decode({"\x1b", "[A"}),
              (std::vector<InputEvent>{press(Esc), press(U'['), press(U'A')}));
}

// The cases strung together at random and read in chunks of any size decode
// to exactly the events of their pieces, none lost, none doubled.
TEST(DecodeBurst, TenThousandBytesInRandomChunks) {
    std::mt19937 random(7);
    std::string bytes;
    std::vector<InputEvent> expected;
    while (bytes.size() < 10'000) {
        const auto& piece = kCases[random() % kCases.size()];
        if (piece.bytes.back() != '\x1b') {
            bytes += piece.bytes;
            expected.insert(expected.end(), piece.events.begin(), piece.events.end());
        }
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
    ASSERT_EQ(events.size(), expected.size());
    EXPECT_EQ(events, expected);
}

// The reader's events besides keys: a byte per signal from the suspend
// wake, and the end of the terminal when its other end closes.
TEST(InputReader, SignalWakesThenTheTerminalsEnd) {
    int ends[2] = {-1, -1};
    ASSERT_EQ(::openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr), 0);
    core::UniqueFd master(ends[0]), slave(ends[1]);
    termios raw{};
    ASSERT_EQ(::tcgetattr(slave.get(), &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(slave.get(), TCSANOW, &raw), 0);  // each byte read at once
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    core::UniqueFd wake_read(ends[0]), wake_write(ends[1]);
    auto [sender, receiver] = core::make_channel<InputEvent>();
    auto reader = InputReader::start(
        slave.get(), [sender](InputEvent event) { sender.send(std::move(event)); }, -1,
        wake_read.get());
    ASSERT_TRUE(reader);
    auto next = [&receiver] {
        return receiver.receive_until(std::chrono::steady_clock::now() + std::chrono::seconds(30));
    };
    const char signals[] = {SIGTSTP, SIGCONT, SIGTSTP};
    ASSERT_EQ(::write(wake_write.get(), signals, sizeof signals), 3);
    EXPECT_EQ(next(), InputEvent(StopRequested{}));
    EXPECT_EQ(next(), InputEvent(Continued{}));
    EXPECT_EQ(next(), InputEvent(StopRequested{}));
    ASSERT_EQ(::write(master.get(), "x", 1), 1);
    EXPECT_EQ(next(), press(U'x'));
    master.reset();
    const auto ended = next();
    ASSERT_TRUE(ended && std::holds_alternative<InputEnded>(*ended));
    EXPECT_TRUE(is_hangup(std::get<InputEnded>(*ended).error));
    (*reader)->stop();
}

}  // namespace
}  // namespace bramwex::term
