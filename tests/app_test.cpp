// The app shell: cursor keys, the screens' keys and clicks, and what each
// screen draws.
#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <string>
#include <vector>

#include "app/app.hpp"
#include "app/cursor.hpp"
#include "app/draw_app.hpp"
#include "temp_dir.hpp"

namespace bramwex::app {
namespace {

using term::Key;
using term::KeyEvent;

constexpr uint64_t GiB = uint64_t{1} << 30;
constexpr uint64_t MiB = uint64_t{1} << 20;

KeyEvent key(term::KeyCode code, term::KeyModifiers modifiers = {}) {
    return {code, modifiers};
}

TEST(MoveCursor, KeysOnListsOfEachSize) {
    constexpr size_t kMax = std::numeric_limits<size_t>::max();
    struct Case {
        term::KeyCode code;
        size_t current, count, page;
        std::optional<size_t> expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {Key::Down, 0, 0, 5, 0}, {U'G', 0, 0, 5, 0}, {Key::Up, 0, 10, 5, 0}, {U'k', 4, 10, 5, 3},
        {U'j', 9, 10, 5, 9}, {U'g', 7, 10, 5, 0}, {Key::End, 2, 10, 5, 9},
        {Key::PageUp, 3, 10, 5, 0}, {Key::PageUp, 8, 10, 5, 3}, {Key::PageDown, 3, 10, 5, 8}, {Key::PageDown, 3, 10, 0, 4},
        {Key::PageDown, 1, kMax, kMax, kMax - 1}, {U'x', 3, 10, 5, std::nullopt},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(move_cursor(key(c.code), c.current, c.count, c.page), c.expected)
            << "key " << static_cast<int>(c.code.key) << "/" << static_cast<char>(c.code.ch)
            << " at " << c.current << " of " << c.count << " page " << c.page;
    }
}

// Two small volumes listed out of order; browsers opened on them scan only
// their empty temporary folders.
struct Fixture {
    test::TempDir dir;
    std::string first = made(dir / "a");
    std::string second = made(dir / "b");
    std::vector<core::sys::Mount> volumes = {
        {second, "ext4", 10 * MiB, 5 * MiB, 5 * MiB, false},
        {first, "ext4", 100 * GiB, 25 * GiB, 75 * GiB, false},
    };
    static std::string made(const std::string& path) {
        test::make_dirs(path);
        return path;
    }
    int checks = 0;
    core::sys::FullDiskAccess answer = core::sys::FullDiskAccess::On;
    std::optional<int> spawn_error;
    Spawn spawn = [this](const Command&) { return spawn_error; };

    App make(std::optional<std::string> path = std::nullopt, bool list = true) {
        AppEnv env;
        env.app_name = "your terminal";
        App app(
            std::move(path), list ? volumes : std::vector<core::sys::Mount>{}, env,
            [this](const ScanTarget&) {
                ++checks;
                return answer;
            },
            false);
        app.frame_area = {0, 0, 80, 6};
        return app;
    }
};

Browser* browser_of(App& app) {
    auto* browsing = std::get_if<BrowsingScreen>(&app.screen);
    return browsing ? browsing->browser.get() : nullptr;
}

std::vector<std::string> drawn(App& app, uint16_t width, uint16_t height) {
    term::Buffer frame(term::Rect{0, 0, width, height});
    draw_app(app, frame, WallClock::now());
    std::vector<std::string> rows = frame.text_rows();
    for (auto& row : rows) {
        row.erase(row.find_last_not_of(' ') + 1);
    }
    return rows;
}

TEST(AppKeys, HelpSwallowsKeysButCtrlCQuitsEverywhereAndClicksPick) {
    Fixture f;
    App app = f.make();
    const KeyEvent ctrl_c = key(U'c', term::CONTROL);
    app.on_key(key(U'?'), f.spawn);
    for (const auto swallowed : {term::KeyCode(U'j'), term::KeyCode(U'q'), term::KeyCode(U'u')}) {
        EXPECT_FALSE(app.on_key(key(swallowed), f.spawn));
    }
    EXPECT_TRUE(app.help_shown);
    EXPECT_EQ(app.selected_volume, 0u);
    EXPECT_FALSE(app.env.si);
    EXPECT_TRUE(app.on_key(ctrl_c, f.spawn));
    app.on_key(key(Key::Esc), f.spawn);
    app.on_key(key(U'j'), f.spawn);
    EXPECT_EQ(app.selected_volume, 1u);
    EXPECT_TRUE(app.on_key(ctrl_c, f.spawn));

    // Rows 1 and 2 hold the volumes, a click below them picks none; a double
    // click browses.
    const WallClock::time_point t0{std::chrono::seconds(1'000'000)};
    for (const auto& [row, ms] : {std::pair{1, 0}, {3, 1000}, {2, 2000}, {2, 2400}}) {
        app.on_mouse(
            {term::MouseKind::Press, term::MouseButton::Left, 7, static_cast<uint16_t>(row), {}},
            t0 + std::chrono::milliseconds(ms));
        EXPECT_EQ(app.selected_volume, row == 2 ? 1u : 0u) << row;
    }
    ASSERT_NE(browser_of(app), nullptr);
    EXPECT_EQ(browser_of(app)->root, f.second);
}

TEST(AppKeys, BrowserIsStashedAndReusedForTheSameVolume) {
    Fixture f;
    App app = f.make();
    app.on_key(key(Key::Enter), f.spawn);  // volumes are sorted: first before second
    Browser* first = browser_of(app);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->root, f.first);
    app.on_key(key(U'u'), f.spawn);
    EXPECT_TRUE(first->settings.si);
    EXPECT_FALSE(app.on_key(key(Key::Esc), f.spawn));
    EXPECT_EQ(app.stashed.get(), first);
    app.on_key(key(U'u'), f.spawn);
    EXPECT_FALSE(first->settings.si) << "units are shared";
    app.on_key(key(U'l'), f.spawn);
    EXPECT_EQ(browser_of(app), first);

    app.on_key(key(Key::Backspace), f.spawn);
    EXPECT_EQ(app.stashed.get(), first);
    app.on_key(key(U'j'), f.spawn);
    app.on_key(key(Key::Right), f.spawn);
    ASSERT_NE(browser_of(app), nullptr);
    EXPECT_EQ(browser_of(app)->root, f.second);
    EXPECT_EQ(app.stashed, nullptr);
    EXPECT_EQ(f.checks, 1);

    // Without a volume list, Backspace at the root stays and Esc quits.
    App alone = f.make(f.first);
    EXPECT_FALSE(alone.on_key(key(Key::Backspace), f.spawn));
    EXPECT_NE(browser_of(alone), nullptr);
    EXPECT_TRUE(alone.on_key(key(Key::Esc), f.spawn));
}

// Backspace at the root goes back to the volume list unless the filter being
// edited or the unreadable or largest-files list takes it; the picks and the
// info box let it through.
TEST(AppKeys, BackspaceAtTheRootLeavesPastPicksAndInfoButNotTheFilterOrLists) {
    Fixture f;
    const auto leaves = [&](auto open) {
        App app = f.make();
        app.on_key(key(Key::Enter), f.spawn);
        open(*browser_of(app));
        app.on_key(key(Key::Backspace), f.spawn);
        return browser_of(app) == nullptr;
    };
    EXPECT_TRUE(leaves([](Browser& b) { b.picks_shown = true; }));
    EXPECT_TRUE(leaves([](Browser& b) { b.info_shown = true; }));
    EXPECT_FALSE(leaves([](Browser& b) { b.unreadable_shown = true; }));
    EXPECT_FALSE(leaves([](Browser& b) { b.largest_shown.emplace(); }));
    EXPECT_FALSE(leaves([](Browser& b) { b.filter_editing = true; }));
}

TEST(AppKeys, NoticeWhenFullDiskAccessIsOffAndItsScreen) {
    Fixture f;
    f.answer = core::sys::FullDiskAccess::Off;
    App app = f.make(f.second);
    auto* notice = std::get_if<NoticeScreen>(&app.screen);
    ASSERT_NE(notice, nullptr);
    EXPECT_FALSE(app.on_key(key(U'?'), f.spawn));
    EXPECT_FALSE(app.help_shown);
    EXPECT_TRUE(app.on_key(key(U'c', term::CONTROL), f.spawn));
    f.spawn_error = ENOENT;
    app.on_key(key(U'o'), f.spawn);
    const auto rows = drawn(app, 80, 14);
    EXPECT_EQ(rows[0], "Full Disk Access is off for your terminal");
    EXPECT_EQ(rows[12], "cannot run /usr/bin/open: No such file or directory (os error 2)");
    f.spawn_error.reset();
    app.on_key(key(U'o'), f.spawn);
    EXPECT_EQ(notice->error, std::nullopt);
    app.on_key(key(U'c'), f.spawn);
    ASSERT_NE(browser_of(app), nullptr);
    EXPECT_EQ(browser_of(app)->root, f.second);

    // Esc on the notice: back to the list when there is one, else quit.
    App listed = f.make();
    listed.on_key(key(Key::Enter), f.spawn);
    EXPECT_FALSE(listed.on_key(key(Key::Esc), f.spawn));
    EXPECT_TRUE(std::holds_alternative<VolumesScreen>(listed.screen));
    EXPECT_TRUE(f.make(f.second).on_key(key(Key::Esc), f.spawn));
}

TEST(DrawApp, VolumeList) {
    Fixture f;
    App app = f.make();
    app.selected_volume = 1;
    app.frame_area = {};
    const auto rows = drawn(app, 140, 6);
    EXPECT_EQ(rows[1], "  25.0 GiB used of  100.0 GiB    75.0 GiB free  25.0%  " + f.first);
    EXPECT_EQ(rows[2], "   5.0 MiB used of   10.0 MiB     5.0 MiB free  50.0%  " + f.second);
    EXPECT_EQ(app.frame_area, (term::Rect{0, 0, 140, 6}));
    term::Buffer frame(term::Rect{0, 0, 80, 6});
    draw_app(app, frame, WallClock::now());
    EXPECT_EQ(frame.at(0, 1).style.fg, term::Color(term::NamedColor::Red));
    EXPECT_EQ(frame.at(48, 1).style.fg, term::Color(term::NamedColor::Red));  // percent cell
    EXPECT_EQ(frame.at(79, 2).style.bg, term::Color::indexed(25));
}

// Every screen at sizes down to nothing draws without a fault.
TEST(DrawApp, HelpAndTinyScreens) {
    Fixture f;
    App app = f.make();
    app.help_shown = true;
    EXPECT_EQ(drawn(app, 80, 5)[4], "? or esc close");
    f.answer = core::sys::FullDiskAccess::Off;
    App notice = f.make(f.second);
    std::get<NoticeScreen>(notice.screen).error = "cannot run /usr/bin/open: denied";
    App browsing = f.make(f.first);
    for (App* each : {&app, &notice, &browsing}) {
        for (const auto& [w, h] : {std::pair{0, 0}, {3, 2}}) {
            EXPECT_EQ(drawn(*each, static_cast<uint16_t>(w), static_cast<uint16_t>(h)).size(),
                      static_cast<size_t>(h));
        }
    }
}

}  // namespace
}  // namespace bramwex::app
