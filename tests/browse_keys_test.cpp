// The browse screen's keys over a real temporary tree: moving, the filter,
// the overlays, picks kept across browsers, open and reveal, and rescans.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "app/browse/browse_keys.hpp"
#include "app/browse/browser.hpp"
#include "core/scan/scan.hpp"
#include "temp_dir.hpp"

namespace bramwex::app {
namespace {

using term::Key;
using namespace std::chrono_literals;

// root: big/ (a/, b/, f.bin), top.bin, docs/ (notes.txt, empty/), f1 .. f5.
struct Disk {
    test::TempDir dir{test::memory_temp_base()};
    Disk() {
        test::write_file(dir / "big/a/x.bin", 40 << 10);
        test::write_file(dir / "big/b/y.bin", 8 << 10);
        test::write_file(dir / "big/f.bin", 100 << 10);
        test::write_file(dir / "top.bin", 64 << 10);
        test::write_file(dir / "docs/notes.txt", 12 << 10);
        test::make_dirs(dir / "docs/empty");
        for (int k = 1; k <= 5; ++k) {
            test::write_file(dir / ("f" + std::to_string(k)), 4 << 10);
        }
    }
};

struct Keys {
    Disk disk;
    std::vector<Command> spawned;
    std::optional<int> spawn_error;
    std::unique_ptr<Browser> b;

    explicit Keys(AppEnv env = {}) { open(std::move(env)); }
    void open(AppEnv env) {
        b = std::make_unique<Browser>(disk.dir.path(), "t", std::move(env), std::nullopt,
                                      std::nullopt, false);
        b->set_tree(std::make_shared<const core::Tree>(
                        *core::scan_tree(disk.dir.path(), core::ScanOptions{})),
                    ScanState::complete());
        b->geometry = {0, 1, 80, 4};
    }
    bool press(term::KeyCode code, term::KeyModifiers modifiers = {}) {
        return b->handle_key({code, modifiers}, [this](const Command& command) {
            spawned.push_back(command);
            return spawn_error;
        });
    }
    void type(std::string_view keys) {
        for (const char ch : keys) {
            press(static_cast<char32_t>(ch));
        }
    }
    std::string selected() const {
        const auto entry = b->selected_entry();
        return entry ? entry->name : "(none)";
    }
    // Drains the live thread until done holds.
    template <class F>
    void wait_until(F done) {
        for (int n = 0; n < 6000 && !done(); ++n) {
            std::this_thread::sleep_for(10ms);
            b->drain_events(WallClock::now());
        }
        ASSERT_TRUE(done());
    }
};

TEST(BrowseKeys, PagesIntoUpFilterAndLeaving) {
    Keys k;
    k.press(Key::PageDown);  // a page is the middle area's height, 4
    EXPECT_EQ(k.selected(), "f2");
    k.press(Key::Home);
    k.b->status = "old news";
    k.press(U'l');
    EXPECT_FALSE(k.b->status);
    EXPECT_EQ(k.b->path, std::vector<std::string>{"big"});
    EXPECT_EQ(k.selected(), "f.bin");
    k.type("/ab");
    EXPECT_FALSE(k.press(U'q', term::CONTROL) || k.press(U'd', term::CONTROL));
    EXPECT_FALSE(k.b->unreadable_shown);
    EXPECT_EQ(k.b->filter, "ab") << "a Ctrl-letter is neither typed nor a command";
    for (int n = 0; n < 4; ++n) {
        k.press(Key::Backspace);
    }
    EXPECT_EQ(k.b->path.size(), 1u) << "Backspace while typing never goes up";
    k.type("a");
    k.press(Key::Enter);
    EXPECT_EQ(k.b->rows.size(), 1u);
    EXPECT_FALSE(k.press(Key::Esc)) << "the first Esc clears the kept filter";
    EXPECT_EQ(k.b->rows.size(), 3u);
    k.press(Key::Backspace);
    EXPECT_TRUE(k.b->at_root());
    EXPECT_EQ(k.selected(), "big");
    EXPECT_TRUE(k.press(Key::Esc));
}

TEST(BrowseKeys, OverlaysTakeTheKeysInTurn) {
    Keys k;
    k.b->path = {"docs", "empty"};
    k.b->refresh();
    // Keys typed in turn, then the overlays shown, the path's depth and the selection.
    const auto state = [&] {
        return std::string(k.b->info_shown ? "i" : "") + (k.b->unreadable_shown ? "d" : "") +
               (k.b->largest_shown ? "t" : "") + (k.b->picks_shown ? "p" : "") + " " +
               std::to_string(k.b->path.size()) + " " + k.selected();
    };
    for (const auto& [keys, expected] : std::vector<std::pair<std::string, std::string>>{
             {"i", " 2 (none)"},  // nothing to show in an empty folder
             {"hi", "i 1 empty"},
             {"k", "i 1 empty"},
             {"id", "d 1 empty"},
             {"h", "d 1 empty"},
             {"dtj", "t 1 empty"},
             {"tpo", "p 1 empty"}}) {
        k.type(keys);
        EXPECT_EQ(state(), expected) << keys;
    }
    EXPECT_TRUE(k.spawned.empty()) << "no pick selected: nothing to open";
    k.press(U'p');
    k.type("tj");
    EXPECT_EQ(k.b->selected_largest_file(), k.disk.dir / "top.bin");
    EXPECT_TRUE(k.press(U'q'));
}

// Kept across a restart with their sizes in the end-to-end test.
TEST(BrowseKeys, PicksAreKeptPerRootAndTheirFailuresShown) {
    test::TempDir cache;
    AppEnv env;
    env.cache_dir = cache / "c";
    Keys k(env);
    k.type(" l ");  // big, then big/f.bin
    k.open(env);
    EXPECT_EQ(k.b->picks, (std::vector<std::string>{"big", "big/f.bin"}));
    k.type("pjr ");
    EXPECT_EQ(k.spawned.back(), (Command{"xdg-open", {k.disk.dir / "big"}}));
    EXPECT_EQ(k.b->picks, std::vector<std::string>{"big"});
    EXPECT_EQ(k.b->picks_selected, 0u);

    test::write_file(cache / "file", 1);
    env.cache_dir = cache / "file";
    k.open(env);
    EXPECT_EQ(k.b->status.value_or("").rfind("cannot read picks: ", 0), 0u) << *k.b->status;
    k.press(U' ');
    EXPECT_EQ(k.b->status.value_or("").rfind("warning: picks not saved: ", 0), 0u);
}

TEST(BrowseKeys, OpenAndRevealThroughTheOpener) {
    AppEnv env;
    env.opener = Opener::None;
    Keys ssh(env);
    ssh.type("jo");
    EXPECT_EQ(ssh.b->status, "path: " + (ssh.disk.dir / "top.bin"));
    EXPECT_TRUE(ssh.spawned.empty());

    Keys k;
    k.spawn_error = ENOENT;
    k.press(U'r');
    EXPECT_EQ(k.spawned.back(), (Command{"xdg-open", {k.disk.dir.path()}}));
    EXPECT_EQ(k.b->status, "cannot run xdg-open: No such file or directory (os error 2)");
    k.spawn_error.reset();
    k.press(U'o');
    EXPECT_EQ(k.b->status, std::nullopt);
}

TEST(BrowseKeys, RescansOfTheShownFolderAndOfEverything) {
    Keys k;
    k.b->state = ScanState::saved_at(1, 0);
    k.press(U's');
    EXPECT_FALSE(k.b->rescanning) << "a saved scan is not rescanned";
    k.b->state = ScanState::complete();
    k.type("js");  // a file at the root: everything, and the live thread follows
    k.wait_until([&] { return k.b->tree && k.b->live->control().busy == 0; });
    // A folder rescanned after it was deleted leaves the user in its parent.
    k.b->path = {"big", "a"};
    k.b->refresh();
    test::remove_tree_at(AT_FDCWD, k.disk.dir / "big/a");
    k.press(U's');
    EXPECT_EQ(k.b->rescanning, "big/a");
    k.wait_until([&] { return !k.b->rescanning; });
    EXPECT_EQ(k.b->path, std::vector<std::string>{"big"});
}

// Every key a help row names is bound to the row's action.
TEST(KeyTable, HelpRowsNameTheKeysThatAreBound) {
    for (const KeyRow& row : key_rows()) {
        for (const KeyBinding& binding : row.bindings) {
            if (binding.action != BrowseAction::None) {
                EXPECT_NE(row.keys.find(key_name(binding.code)), std::string::npos) << row.keys;
                EXPECT_EQ(normal_action({binding.code, {}}), binding.action) << row.keys;
            }
        }
    }
}

// One press per column kind on a 200-column frame, middle area rows 1 to 4;
// one level down the parent is at x 0, the current column 31, the preview 92.
TEST(BrowseMouse, OneClickPerColumnKind) {
    Keys m;
    m.b->geometry = {0, 1, 200, 4};
    m.b->path = {"big"};
    m.b->select_name = "a";
    m.b->refresh();
    WallClock::time_point now{1'000'000s};
    const auto click = [&](uint16_t x, uint16_t y) {
        m.b->handle_mouse({term::MouseKind::Press, term::MouseButton::Left, x, y, {}}, now += 1s);
    };
    using Step = std::tuple<uint16_t, uint16_t, std::vector<std::string>, std::string>;
    for (const auto& [x, y, path, selected] :
         std::vector<Step>{{65535, 65535, {"big"}, "a"},    // outside the area: nothing
                           {95, 1, {"big", "a"}, "x.bin"},  // the preview's first row: into it
                           {5, 3, {}, "docs"}}) {           // the root's third row, two levels up
        click(x, y);
        EXPECT_EQ(m.b->path, path) << x << "," << y;
        EXPECT_EQ(m.selected(), selected) << x << "," << y;
    }
    m.b->picks = {"big", "top.bin"};
    m.b->picks_shown = true;
    m.b->picks_selected = 1;
    click(5, 1);  // the heading
    EXPECT_EQ(m.b->picks_selected, 1u);
    click(5, 2);
    EXPECT_EQ(m.b->picks_selected, 0u);
}

}  // namespace
}  // namespace bramwex::app
