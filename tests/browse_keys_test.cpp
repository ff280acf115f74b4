// The browse screen's keys in the normal mode and while typing the filter.
#include <gtest/gtest.h>

#include <memory>

#include "app/browse/browse_keys.hpp"
#include "app/browse/browser.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using term::Key;
using test::TreeSketch;

// Root: big/ (with a/ and b/), c1/ .. c9/ of falling sizes.
std::unique_ptr<Browser> make_browser() {
    auto b = std::make_unique<Browser>("/nonexistent-root", "t", AppEnv{}, std::nullopt,
                                       std::nullopt, false);
    TreeSketch sketch("/nonexistent-root");
    const uint32_t big = sketch.folder(0, "big", 1000);
    sketch.folder(big, "a", 20);
    sketch.folder(big, "b", 10);
    for (int k = 1; k <= 9; ++k) {
        sketch.folder(0, "c" + std::to_string(k), 100 - k);
    }
    b->set_tree(std::make_shared<const core::Tree>(sketch.build()), ScanState::complete());
    b->geometry = {0, 1, 80, 4};
    return b;
}

struct Keys {
    std::unique_ptr<Browser> b = make_browser();
    bool press(term::KeyCode code, term::KeyModifiers modifiers = {}) {
        return b->handle_key({code, modifiers}, [](const Command&) { return std::nullopt; });
    }
    std::string selected() const { return b->selected_entry()->name; }
};

TEST(BrowseKeys, CursorKeysAndPages) {
    Keys k;
    struct Step {
        term::KeyCode code;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {U'j', "c1"},          {Key::Down, "c2"},  {U'k', "c1"},        {Key::Up, "big"},
        {Key::PageDown, "c4"}, {U'G', "c9"},       {Key::PageUp, "c5"}, {U'g', "big"},
        {Key::End, "c9"},      {Key::Home, "big"}, {U'x', "big"},
    };
    for (const Step& step : steps) {
        EXPECT_FALSE(k.press(step.code));
        EXPECT_EQ(k.selected(), step.expected);
    }
}

TEST(BrowseKeys, IntoUpAndLeaving) {
    Keys k;
    k.b->status = "old news";
    k.press(U'j');
    EXPECT_FALSE(k.b->status);
    k.press(U'l');  // c1 has no folders below: still entered
    EXPECT_EQ(k.b->path, std::vector<std::string>{"c1"});
    EXPECT_TRUE(k.b->rows.empty());
    k.press(Key::Enter);  // nothing selected: stays
    EXPECT_EQ(k.b->path.size(), 1u);
    k.press(U'h');
    EXPECT_TRUE(k.b->at_root());
    EXPECT_EQ(k.selected(), "c1");
    k.press(U'g');
    k.press(Key::Right);
    EXPECT_EQ(k.selected(), "a");
    k.press(Key::Backspace);
    EXPECT_EQ(k.selected(), "big");
    k.press(Key::Left);  // at the root: nothing
    EXPECT_TRUE(k.b->at_root());
    EXPECT_TRUE(k.press(Key::Esc));
    EXPECT_TRUE(k.press(U'q'));
    EXPECT_TRUE(k.press(U'c', term::CONTROL));
}

TEST(BrowseKeys, FilterTypedKeptAndCleared) {
    Keys k;
    k.press(U'/');
    EXPECT_TRUE(k.b->editing_filter());
    for (const char32_t ch : {U'c', U'q', U'j', U'é'}) {
        EXPECT_FALSE(k.press(ch));
    }
    EXPECT_EQ(k.b->filter, "cqjé");
    EXPECT_TRUE(k.b->rows.empty());
    for (int n = 0; n < 3; ++n) {
        k.press(Key::Backspace);
    }
    EXPECT_EQ(k.b->filter, "c");
    EXPECT_TRUE(k.b->at_root()) << "Backspace while typing never goes up";
    EXPECT_EQ(k.b->rows.size(), 9u);
    k.press(Key::Enter);
    EXPECT_FALSE(k.b->editing_filter());
    k.press(U'j');  // the kept filter stays while moving
    EXPECT_EQ(k.selected(), "c2");
    EXPECT_FALSE(k.press(Key::Esc));
    EXPECT_EQ(k.b->filter, "");
    EXPECT_EQ(k.selected(), "c2");
    k.press(U'/');
    k.press(U'9');
    EXPECT_FALSE(k.press(Key::Esc));
    EXPECT_EQ(k.b->filter, "");
    EXPECT_FALSE(k.b->editing_filter());
    EXPECT_TRUE(k.press(Key::Esc));
}

TEST(BrowseKeys, SortByChange) {
    Keys k;
    k.b->baseline = Baseline(k.b->tree->folders.size(), 0);
    (*k.b->baseline)[1] = 1030;  // big shrank by nothing, the c folders all grew
    k.b->row_cache.clear();
    k.b->refresh();
    k.press(U'c');
    EXPECT_TRUE(k.b->sort_by_change);
    EXPECT_EQ(k.b->rows.front().change, 99);
    EXPECT_EQ(k.b->rows.back().change, 0);
    k.press(U'c');
    EXPECT_EQ(k.b->rows.front().size, 1030u);
    EXPECT_EQ(normal_action({U'c', {}}), BrowseAction::SortByChange);
}

}  // namespace
}  // namespace bramwex::app
