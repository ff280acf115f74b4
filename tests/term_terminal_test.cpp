#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/term/exit_signals.hpp"
#include "app/term/renderer.hpp"
#include "app/term/restore_record.hpp"
#include "app/term/suspend_signals.hpp"
#include "app/term/terminal.hpp"
#include "app/term/write_all.hpp"
#include "core/base/fatal.hpp"
#include "core/base/fd.hpp"

namespace bramwex::term {
namespace {

// Spelled out, not built from the app's constants, so a wrong constant shows.
const std::string kSetUp =
    "\x1b[?1049h\x1b[?25l\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h";
const std::string kRestore =
    "\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l\x1b[0m\x1b[?25h\x1b[?1049l";

// Everything readable from fd until it stays quiet for a moment (the writes
// looked for are done before this is called).
std::string read_quietly(int fd, int quiet_ms = 100) {
    std::string bytes;
    pollfd wait{fd, POLLIN, 0};
    char chunk[4096];
    ssize_t got = 0;
    while (::poll(&wait, 1, quiet_ms) > 0 && (got = ::read(fd, chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

// A pseudo-terminal in cooked mode: the master end plays the terminal
// emulator, the slave end is the app's tty.
struct Pty {
    core::UniqueFd master, slave;
    Pty() {
        int fds[2] = {-1, -1};
        winsize size{24, 80, 0, 0};
        EXPECT_EQ(::openpty(&fds[0], &fds[1], nullptr, nullptr, &size), 0);
        master.reset(fds[0]);
        slave.reset(fds[1]);
    }
    termios modes() const {
        termios current{};
        ::tcgetattr(slave.get(), &current);
        return current;
    }
};

TEST(Terminal, TakeOverOnceAndRestoreExactBytesOnceOnLeavingTheScope) {
    Pty pty, other;
    const termios cooked = pty.modes();
    {
        auto terminal = Terminal::take_over(pty.slave.get(), pty.slave.get());
        ASSERT_TRUE(terminal) << terminal.error().message();
        EXPECT_EQ(read_quietly(pty.master.get()), kSetUp);
        EXPECT_EQ(pty.modes().c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(terminal->size(), (TerminalSize{80, 24}));
        EXPECT_THROW(Terminal::take_over(other.slave.get(), other.slave.get()), core::Fatal);
        Terminal moved(std::move(*terminal));
    }
    EXPECT_EQ(read_quietly(pty.master.get()), kRestore);
    EXPECT_EQ(pty.modes().c_lflag, cooked.c_lflag);
    EXPECT_EQ(pty.modes().c_iflag, cooked.c_iflag);
    EXPECT_FALSE(restore_terminal_now());
    EXPECT_EQ(read_quietly(other.master.get(), 50), "");
}

TEST(Terminal, GivenBackForAStopAndTakenOverAgain) {
    Pty pty;
    const termios cooked = pty.modes();
    auto terminal = Terminal::take_over(pty.slave.get(), pty.slave.get());
    ASSERT_TRUE(terminal);
    EXPECT_EQ(read_quietly(pty.master.get()), kSetUp);
    // Each way round twice: a second suspend finds nothing to give back, a
    // resume without a suspend sets the modes again.
    for (int round = 0; round < 2; ++round) {
        terminal->suspend();
        terminal->suspend();
        EXPECT_EQ(read_quietly(pty.master.get()), kRestore) << round;
        EXPECT_EQ(pty.modes().c_lflag, cooked.c_lflag);
        EXPECT_FALSE(restore_terminal_now()) << "nothing is left to restore while stopped";
        ASSERT_TRUE(terminal->resume());
        ASSERT_TRUE(terminal->resume());
        EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kSetUp) << round;
        EXPECT_EQ(pty.modes().c_lflag & (ICANON | ECHO | ISIG), 0u);
    }
    terminal->restore();
    EXPECT_EQ(read_quietly(pty.master.get()), kRestore);
    EXPECT_EQ(pty.modes().c_lflag, cooked.c_lflag);
    // Leaving while stopped writes nothing more.
    auto again = Terminal::take_over(pty.slave.get(), pty.slave.get());
    ASSERT_TRUE(again);
    again->suspend();
    EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore);
    again->restore();
    EXPECT_TRUE(again->resume()) << "a restored terminal is not taken again";
    EXPECT_EQ(read_quietly(pty.master.get(), 50), "");
    // The other end closed: a hangup.
    auto gone = Terminal::take_over(pty.slave.get(), pty.slave.get());
    ASSERT_TRUE(gone);
    gone->suspend();
    pty.master.reset();
    const auto resumed = gone->resume();
    ASSERT_FALSE(resumed);
    EXPECT_TRUE(is_hangup(resumed.error().value())) << resumed.error().message();
}

sighandler_t handler_of(int signal) {
    struct sigaction current {};
    ::sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

// Where the child stopped (and was continued) or how it ended.
std::string wait_child(pid_t child) {
    int status = 0;
    std::string seen;
    for (;;) {
        if (::waitpid(child, &status, WUNTRACED) != child) {
            return seen + "lost";
        }
        if (WIFSTOPPED(status)) {
            seen += "stopped by " + std::to_string(WSTOPSIG(status)) + ", ";
            ::kill(child, SIGCONT);
        } else {
            return seen + "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
    }
}

// Child body: SIGTSTP and SIGCONT only wake; stop_process stops as SIGTSTP
// does, and its return is seen as a SIGCONT too.
[[noreturn]] void suspend_child(bool own_session) {
    if (own_session ? ::setsid() < 0 : ::setpgid(0, 0) < 0) {
        ::_exit(2);
    }
    auto signals = SuspendSignals::install();
    ::raise(SIGTSTP);
    ::raise(SIGCONT);
    char got[4] = {};
    if (::read((*signals)->wake_fd(), got, sizeof got) != 2 || got[0] != SIGTSTP ||
        got[1] != SIGCONT) {
        ::_exit(3);
    }
    (*signals)->stop_process();
    // Stopped and continued (a SIGCONT seen), or never stopped: its group
    // is orphaned when it leads a session of its own.
    pollfd wake{(*signals)->wake_fd(), POLLIN, 0};
    const bool continued = ::poll(&wake, 1, 0) == 1;
    ::_exit(continued == own_session ? 4 : handler_of(SIGTSTP) == SIG_DFL ? 5 : 0);
}

TEST(SuspendSignals, WakeOnStopAndContinueAndStopAsWithoutAHandler) {
    for (const bool own_session : {false, true}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            suspend_child(own_session);
        }
        EXPECT_EQ(wait_child(child),
                  own_session ? "exit 0" : "stopped by " + std::to_string(SIGTSTP) + ", exit 0");
    }
    // Ignored on entry, it stays ignored.
    struct sigaction ignore {
    }, before{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGTSTP, &ignore, &before);
    {
        auto signals = SuspendSignals::install();
        ASSERT_TRUE(signals);
        EXPECT_EQ(handler_of(SIGTSTP), SIG_IGN);
        EXPECT_NE(handler_of(SIGCONT), SIG_DFL);
        (*signals)->stop_process();
        EXPECT_EQ(handler_of(SIGTSTP), SIG_IGN);
    }
    EXPECT_EQ(handler_of(SIGCONT), SIG_DFL);
    ::sigaction(SIGTSTP, &before, nullptr);
}

// The death tests run in a child process: it takes the pty over, then dies
// while holding it; the parent reads what it left on the terminal.
Terminal take_over_in_child(const Pty& pty) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    auto terminal = Terminal::take_over(pty.slave.get(), pty.slave.get());
    if (!terminal) {
        ::_exit(3);
    }
    return std::move(*terminal);
}

// Child body: the first SIGTERM or SIGHUP only wakes, the second ends the
// process; SIGQUIT and SIGINT end it at once. The signal starts at its
// default action, whatever the test run was started with.
void signal_child(const Pty& pty, int signal) {
    std::signal(signal, SIG_DFL);
    auto signals = ExitSignals::install();
    auto terminal = take_over_in_child(pty);
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
            auto terminal = take_over_in_child(pty);
            std::terminate();
        },
        testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore);
    for (int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGINT}) {
        EXPECT_EXIT(signal_child(pty, signal), testing::KilledBySignal(signal), "") << signal;
        EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore) << signal;
    }
}

// Deep enough to overflow any stack; the volatile frame keeps the recursion.
int overflow(int depth) {
    if (depth < 0) {
        return 0;
    }
    volatile char frame[4096];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    return overflow(depth + 1) + frame[0];
}

TEST(Terminal, AnExitSignalIgnoredAtStartStaysIgnored) {
    const sighandler_t hangup = std::signal(SIGHUP, SIG_IGN);
    const sighandler_t term = std::signal(SIGTERM, SIG_DFL);
    {
        auto signals = ExitSignals::install();
        ASSERT_TRUE(signals);
        EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
        EXPECT_NE(handler_of(SIGTERM), SIG_DFL);
    }
    EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
    EXPECT_EQ(handler_of(SIGTERM), SIG_DFL);
    std::signal(SIGHUP, hangup);
    std::signal(SIGTERM, term);
}

// Child bodies on a terminal that takes no output (XOFF) while the app holds
// it. The first takes the way out at once; in the second a crash lands while
// a restore is under way, which the crash's handler interrupts, so that
// restore never finishes.
void die_on_a_stopped_terminal(const Pty& pty) {
    auto terminal = take_over_in_child(pty);
    ::tcflow(pty.slave.get(), TCOOFF);
    std::signal(SIGALRM, SIG_DFL);
    ::alarm(5);  // a hang ends by another signal
    restore_and_die(SIGTERM);
}

void abort_on_signal(int) {
    std::abort();
}

void crash_while_restoring_a_stopped_terminal(const Pty& pty) {
    auto terminal = take_over_in_child(pty);
    ::tcflow(pty.slave.get(), TCOOFF);
    std::signal(SIGALRM, abort_on_signal);
    const itimerval soon{{0, 0}, {0, 200'000}};
    ::setitimer(ITIMER_REAL, &soon, nullptr);
    terminal.restore();
    ::_exit(6);
}

// The way out gives up on the bytes the terminal will not take, but never
// leaves it raw.
TEST(TerminalDeath, AStoppedTerminalIsStillPutBackOnTheWayOut) {
    Pty pty, other;
    const termios cooked = pty.modes();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(die_on_a_stopped_terminal(pty), testing::KilledBySignal(SIGTERM), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(pty.modes().c_lflag, cooked.c_lflag);
    EXPECT_EXIT(crash_while_restoring_a_stopped_terminal(other), testing::KilledBySignal(SIGABRT),
                "");
    EXPECT_EQ(other.modes().c_lflag, cooked.c_lflag);
}

// The five crash signals, sent from outside, are tested end to end.
TEST(TerminalDeath, StackOverflowRestoresAndDiesOfSegv) {
    Pty pty;
    EXPECT_EXIT(
        {
            auto terminal = take_over_in_child(pty);
            ::_exit(overflow(0));
        },
        testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(read_quietly(pty.master.get()), kSetUp + kRestore);
}

TEST(Terminal, CrashHandlersAreInPlaceOnlyWhileTheTerminalIsTakenOver) {
    const int crashes[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
    std::vector<sighandler_t> before;
    for (int signal : crashes) {
        before.push_back(handler_of(signal));
    }
    Pty pty;
    auto terminal = Terminal::take_over(pty.slave.get(), pty.slave.get());
    ASSERT_TRUE(terminal);
    EXPECT_NE(handler_of(SIGSEGV), before[0]);
    terminal->restore();
    for (size_t i = 0; i < std::size(crashes); ++i) {
        EXPECT_EQ(handler_of(crashes[i]), before[i]) << crashes[i];
    }
}

// Given up on while nobody reads, whole once somebody does, and the pipe
// blocking again afterwards either way.
TEST(WriteFully, ABoundedWriteGivesUpInTimeOnAPipeNobodyReads) {
    using namespace std::chrono_literals;
    int ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(ends), 0);
    core::UniqueFd read_end(ends[0]), write_end(ends[1]);
    ::fcntl(write_end.get(), F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, 'x');
    size_t filled = 0;
    for (ssize_t put = 0; (put = ::write(write_end.get(), chunk.data(), chunk.size())) > 0;) {
        filled += static_cast<size_t>(put);
    }
    ::fcntl(write_end.get(), F_SETFL, 0);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(write_fully_within(write_end.get(), chunk.data(), 256, 200ms));
    EXPECT_EQ(errno, ETIMEDOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 5s);
    EXPECT_EQ(::fcntl(write_end.get(), F_GETFL) & O_NONBLOCK, 0);

    size_t got = 0;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t n = 0; (n = ::read(read_end.get(), buffer, sizeof buffer)) > 0;) {
            got += static_cast<size_t>(n);
        }
    });
    const std::string more(1 << 20, 'y');
    EXPECT_TRUE(write_fully_within(write_end.get(), more.data(), more.size(), 60s));
    EXPECT_EQ(::fcntl(write_end.get(), F_GETFL) & O_NONBLOCK, 0);
    write_end.reset();
    reader.join();
    EXPECT_EQ(got, filled + more.size());
}

TEST(Renderer, WritesRedrawThenChangesThenNothingThenRedrawOnResize) {
    Pty pty;
    Renderer renderer(pty.slave.get());
    const std::vector<std::tuple<uint16_t, const char*, std::string>> frames = {
        {3, "ab", "\x1b[0m\x1b[2J\x1b[1;1Hab"},
        {3, "ac", "\x1b[1;2Hc"},
        {3, "ac", ""},
        {2, "ac", "\x1b[0m\x1b[2J\x1b[1;1Hac"},
    };
    for (const auto& [width, text, bytes] : frames) {
        renderer.begin_frame(width, 1).set_string(0, 0, text, {});
        ASSERT_TRUE(renderer.end_frame());
        EXPECT_EQ(read_quietly(pty.master.get(), 20), bytes) << text;
    }
}

}  // namespace
}  // namespace bramwex::term
