// The app shell's small decisions: double clicks, the volume list, the
// environment it reads and the commands it starts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

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
    EXPECT_FALSE(is_double_click(record, t0 + milliseconds(1000), 3, 5));
    // A clock that went back pairs with nothing.
    EXPECT_FALSE(is_double_click(record, t0, 3, 5));
}

TEST(Volumes, KeepsBrowsableMountsAndTheRootInPathOrder) {
    std::vector<core::sys::Mount> mounts;
    // clang-format off
    using Row = std::tuple<std::string, std::string, uint64_t, bool>;
    for (const auto& [point, fs, total, hidden] : std::vector<Row>{
        {"/srv/b", "ext4", 10, false}, {"/", "overlay", 0, true}, {"/srv-x", "ext4", 10, false},
        {"/proc", "proc", 10, true}, {"/run", "tmpfs", 10, false}, {"/empty", "ext4", 0, false},
        {"/srv", "xfs", 10, false}, {"/srv/a", "ext4", 10, false}}) {
        // clang-format on
        mounts.push_back({point, fs, total, total / 2, total / 2, hidden});
    }
    std::vector<std::string> points;
    for (const auto& volume : filter_volumes(mounts)) {
        points.push_back(volume.point);
    }
    // The root stays whatever it is; "/srv/..." before "/srv-x": components compare.
    EXPECT_EQ(points, (std::vector<std::string>{"/", "/srv", "/srv/a", "/srv/b", "/srv-x"}));
}

TEST(AppEnvironment, NamesTheTerminalAndReadsTheSwitches) {
    // clang-format off
    for (const auto& [value, name] : std::vector<std::pair<const char*, std::string>>{
        {nullptr, "your terminal"}, {"vscode", "Visual Studio Code"}, {"bad\xff", "your terminal"}}) {
        // clang-format on
        EXPECT_EQ(terminal_app_name(value), name) << (value ? value : "(unset)");
    }
    for (const bool plain : {false, true}) {
        ::setenv("NO_COLOR", plain ? "1" : "", 1);
        ::setenv("SSH_CONNECTION", plain ? "10.0.0.1 22 10.0.0.2 22" : "", 1);
        const AppEnv env = AppEnv::from_env();
        EXPECT_EQ(env.colours, !plain);
        EXPECT_EQ(env.opener, plain ? Opener::None : Opener::XdgOpen);
    }
    ::unsetenv("NO_COLOR");
    ::unsetenv("SSH_CONNECTION");
}

// That children are reaped is checked end to end with a real opener.
TEST(Opener, OpensAndReveals) {
    EXPECT_EQ(open_command(Opener::XdgOpen, "/a/b/", true), (Command{"xdg-open", {"/a"}}));
    EXPECT_EQ(open_command(Opener::XdgOpen, "/a", true), (Command{"xdg-open", {"/"}}));
    EXPECT_EQ(open_command(Opener::XdgOpen, "/", true), std::nullopt);
    EXPECT_EQ(open_command(Opener::XdgOpen, "name", true), std::nullopt);
    EXPECT_EQ(open_command(Opener::None, "/a", false), std::nullopt);
    EXPECT_EQ(spawn_detached({"true", {}}), std::nullopt);
    const auto failure = spawn_detached({"bramwex-no-such-program", {}});
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(run_error_text("bramwex-no-such-program", *failure),
              "cannot run bramwex-no-such-program: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace bramwex::app
