#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <exception>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "app/term/exit_signals.hpp"
#include "app/term/input_reader.hpp"
#include "app/term/renderer.hpp"
#include "app/term/restore_record.hpp"
#include "app/term/terminal.hpp"
#include "core/base/fatal.hpp"
#include "core/base/fd.hpp"

namespace bramwex::term {
namespace {

const std::string kSetUp =
    std::string(kEnterAlternateScreen) + std::string(kHideCursor) + std::string(kMouseCaptureOn);
const std::string kRestore = std::string(kMouseCaptureOff) + std::string(kResetStyle) +
                             std::string(kShowCursor) + std::string(kLeaveAlternateScreen);

// Everything readable from fd until it stays quiet for a moment.
std::string read_quietly(int fd, int quiet_ms = 100) {
    std::string bytes;
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, quiet_ms) > 0) {
        char chunk[4096];
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

// A pseudo-terminal in cooked mode: the master end plays the terminal
// emulator, the slave end is the app's tty.
struct Pty {
    core::UniqueFd master;
    core::UniqueFd slave;

    Pty() {
        int master_fd = -1;
        int slave_fd = -1;
        winsize size{24, 80, 0, 0};
        if (::openpty(&master_fd, &slave_fd, nullptr, nullptr, &size) != 0) {
            ADD_FAILURE() << "openpty failed";
        }
        master.reset(master_fd);
        slave.reset(slave_fd);
    }

    termios modes() const {
        termios current{};
        ::tcgetattr(slave.get(), &current);
        return current;
    }
};

bool same_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cflag == b.c_cflag;
}

TEST(Terminal, TakeOverAndRestoreWriteExactBytesOnce) {
    Pty pty;
    const termios cooked = pty.modes();
    {
        auto terminal = Terminal::take_over(pty.slave.get(), pty.slave.get());
        ASSERT_TRUE(terminal) << terminal.error().message();
        EXPECT_EQ(read_quietly(pty.master.get()), kSetUp);
        EXPECT_EQ(pty.modes().c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(terminal->size(), (TerminalSize{80, 24}));

        Terminal moved(std::move(*terminal));
        moved.restore();
        EXPECT_EQ(read_quietly(pty.master.get()), kRestore);
        EXPECT_TRUE(same_modes(pty.modes(), cooked));

        moved.restore();
        EXPECT_FALSE(restore_terminal_now());
    }
    EXPECT_EQ(read_quietly(pty.master.get(), 50), "");
}

TEST(Terminal, OneTakeOverAtATimeAndTheGuardRestoresOnLeavingTheScope) {
    Pty first;
    Pty second;
    {
        auto terminal = Terminal::take_over(first.slave.get(), first.slave.get());
        ASSERT_TRUE(terminal);
        EXPECT_THROW(Terminal::take_over(second.slave.get(), second.slave.get()), core::Fatal);
    }
    EXPECT_EQ(read_quietly(first.master.get()), kSetUp + kRestore);
    EXPECT_EQ(read_quietly(second.master.get(), 50), "");
}

TEST(Terminal, NotATerminalIsAnErrorAndLeavesNothingTakenOver) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    core::UniqueFd read_end(ends[0]), write_end(ends[1]);
    auto terminal = Terminal::take_over(read_end.get(), write_end.get());
    ASSERT_FALSE(terminal);
    EXPECT_EQ(terminal.error(), std::error_code(ENOTTY, std::system_category()));
    EXPECT_FALSE(restore_terminal_now());
}

// The death tests run in a child process: it takes the pty over, then dies;
// the parent reads what it left on the terminal.
void take_over_in_child(const Pty& pty) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (!Terminal::take_over(pty.slave.get(), pty.slave.get())) {
        ::_exit(3);
    }
}

// Child body: the first SIGTERM or SIGHUP only wakes, the second ends the
// process; SIGQUIT and SIGINT end it at once.
void signal_child(const Pty& pty, int signal) {
    auto signals = ExitSignals::install();
    take_over_in_child(pty);
    ::raise(signal);
    pollfd wake{(*signals)->wake_fd(), POLLIN, 0};
    if (signal == SIGQUIT || signal == SIGINT || (*signals)->received() != signal ||
        ::poll(&wake, 1, 0) != 1) {
        ::_exit(4);
    }
    ::raise(signal);
    ::_exit(5);
}

TEST(TerminalDeath, TerminateAndExitSignalsRestoreBeforeDying) {
    Pty pty;
    EXPECT_EXIT(
        {
            take_over_in_child(pty);
            std::terminate();
        },
        testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore);
    for (int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGINT}) {
        EXPECT_EXIT(signal_child(pty, signal), testing::KilledBySignal(signal), "") << signal;
        EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore) << signal;
    }
}

TEST(ExitSignals, NothingReceivedAtFirstAndHandlersGoBack) {
    struct sigaction before {};
    ::sigaction(SIGTERM, nullptr, &before);
    {
        auto signals = ExitSignals::install();
        ASSERT_TRUE(signals);
        EXPECT_EQ((*signals)->received(), std::nullopt);
    }
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// Collects the reader's events for the test thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<InputEvent> events;

    void push(InputEvent event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        arrived.notify_all();
    }

    std::vector<InputEvent> wait_for(size_t count) {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= count; });
        return events;
    }
};

TEST(InputReader, DecodesTerminalBytesWindowChangesAndExitWakes) {
    Pty pty;
    termios raw = pty.modes();
    ::cfmakeraw(&raw);
    ::tcsetattr(pty.slave.get(), TCSANOW, &raw);
    Inbox inbox;
    int exit_wake[2];
    ASSERT_EQ(::pipe(exit_wake), 0);
    core::UniqueFd exit_read(exit_wake[0]), exit_write(exit_wake[1]);
    auto reader = InputReader::start(
        pty.slave.get(), [&](InputEvent event) { inbox.push(event); }, exit_read.get());
    ASSERT_TRUE(reader);
    ASSERT_EQ(::write(pty.master.get(), "\x1b[Aq", 4), 4);
    EXPECT_EQ(inbox.wait_for(2),
              (std::vector<InputEvent>{KeyEvent{Key::Up, {}}, KeyEvent{U'q', {}}}));

    winsize size{30, 100, 0, 0};
    ASSERT_EQ(::ioctl(pty.master.get(), TIOCSWINSZ, &size), 0);
    ::raise(SIGWINCH);
    EXPECT_EQ(inbox.wait_for(3).back(), InputEvent(Resize{100, 30}));

    ASSERT_EQ(::write(exit_write.get(), "x", 1), 1);
    EXPECT_EQ(inbox.wait_for(4).back(), InputEvent(ExitRequested{}));
    (*reader)->stop();
    (*reader)->stop();
}

TEST(Renderer, WritesRedrawThenChangesThenNothingThenRedrawOnResize) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    core::UniqueFd read_end(ends[0]), write_end(ends[1]);
    Renderer renderer(write_end.get());
    const std::vector<std::tuple<uint16_t, const char*, std::string>> frames = {
        {3, "ab", "\x1b[0m\x1b[2J\x1b[1;1Hab"},
        {3, "ac", "\x1b[1;2Hc"},
        {3, "ac", ""},
        {2, "ac", "\x1b[0m\x1b[2J\x1b[1;1Hac"},
    };
    for (const auto& [width, text, bytes] : frames) {
        renderer.begin_frame(width, 1).set_string(0, 0, text, {});
        ASSERT_TRUE(renderer.end_frame());
        EXPECT_EQ(read_quietly(read_end.get(), 20), bytes) << text;
    }
}

}  // namespace
}  // namespace bramwex::term
