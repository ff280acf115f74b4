// The app shell's small decisions: double clicks, the volume list, the
// environment it reads and the commands it starts.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "app/app_env.hpp"
#include "app/click.hpp"
#include "app/opener.hpp"
#include "app/volumes.hpp"

namespace bramwex::app {
namespace {

using std::chrono::milliseconds;

TEST(DoubleClick, PairsWithin400MillisecondsOnTheSameCellOnly) {
    const WallClock::time_point t0{std::chrono::seconds(1'000'000)};
    ClickRecord record;
    EXPECT_FALSE(is_double_click(record, t0, 3, 4));
    EXPECT_TRUE(is_double_click(record, t0 + milliseconds(400), 3, 4));
    // A third quick click starts a new pair instead of making a triple.
    EXPECT_FALSE(is_double_click(record, t0 + milliseconds(500), 3, 4));
    EXPECT_FALSE(is_double_click(record, t0 + milliseconds(901), 3, 4));
    EXPECT_FALSE(is_double_click(record, t0 + milliseconds(1000), 3, 5));
    // A clock that went back pairs with nothing.
    EXPECT_FALSE(is_double_click(record, t0, 3, 5));
}

core::sys::Mount mount(std::string point, std::string fs, uint64_t total, bool hidden = false) {
    return {std::move(point), std::move(fs), total, total / 2, total / 2, hidden};
}

TEST(Volumes, KeepsBrowsableMountsAndTheRootInPathOrder) {
    const auto kept = filter_volumes({
        mount("/srv/b", "ext4", 10),
        mount("/", "overlay", 0, true),  // the root stays whatever it is
        mount("/srv-x", "ext4", 10),
        mount("/proc", "proc", 10, true),
        mount("/run", "tmpfs", 10),
        mount("/empty", "ext4", 0),
        mount("/srv", "xfs", 10),
        mount("/srv/a", "ext4", 10),
    });
    std::vector<std::string> points;
    for (const auto& volume : kept) {
        points.push_back(volume.point);
    }
    // "/srv/..." before "/srv-x": components compare, not whole strings.
    EXPECT_EQ(points, (std::vector<std::string>{"/", "/srv", "/srv/a", "/srv/b", "/srv-x"}));
}

TEST(AppEnvironment, NamesTheTerminalAndReadsTheSwitches) {
    const std::vector<std::pair<const char*, std::string>> names = {
        {nullptr, "your terminal"},       {"", "your terminal"},
        {"tmux", "your terminal"},        {"screen", "your terminal"},
        {"vscode", "Visual Studio Code"}, {"ghostty", "Ghostty"},
        {"iTerm.app", "iTerm"},           {"Apple_Terminal", "Terminal"},
        {"WezTerm", "WezTerm"},           {"bad\xff", "your terminal"},
    };
    for (const auto& [value, name] : names) {
        EXPECT_EQ(terminal_app_name(value), name) << (value ? value : "(unset)");
    }

    ::setenv("NO_COLOR", "", 1);
    ::setenv("SSH_CONNECTION", "", 1);
    AppEnv env = AppEnv::from_env();
    EXPECT_TRUE(env.colours);
    EXPECT_EQ(env.opener, Opener::XdgOpen);
    ::setenv("NO_COLOR", "1", 1);
    ::setenv("SSH_CONNECTION", "10.0.0.1 22 10.0.0.2 22", 1);
    env = AppEnv::from_env();
    EXPECT_FALSE(env.colours);
    EXPECT_EQ(env.opener, Opener::None);
    ::unsetenv("NO_COLOR");
    ::unsetenv("SSH_CONNECTION");
}

TEST(Opener, OpensAndRevealsThroughXdgOpen) {
    EXPECT_EQ(open_command(Opener::XdgOpen, "/a/b", false), (Command{"xdg-open", {"/a/b"}}));
    EXPECT_EQ(open_command(Opener::XdgOpen, "/a/b/", true), (Command{"xdg-open", {"/a"}}));
    EXPECT_EQ(open_command(Opener::XdgOpen, "/a", true), (Command{"xdg-open", {"/"}}));
    EXPECT_EQ(open_command(Opener::XdgOpen, "/", true), std::nullopt);
    EXPECT_EQ(open_command(Opener::XdgOpen, "name", true), std::nullopt);
    EXPECT_EQ(open_command(Opener::None, "/a", false), std::nullopt);
}

// True once every child of this process has ended and been reaped by someone
// else (WNOWAIT leaves any zombie for its waiter), within five seconds.
bool all_children_reaped() {
    for (int i = 0; i < 250; ++i) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

TEST(Opener, SpawnsDetachedAndLeavesNoZombie) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(spawn_detached({"true", {}}), std::nullopt);
    }
    EXPECT_TRUE(all_children_reaped());
    const auto failure = spawn_detached({"bramwex-no-such-program", {}});
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(run_error_text("bramwex-no-such-program", *failure),
              "cannot run bramwex-no-such-program: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace bramwex::app
