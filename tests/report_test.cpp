#include "core/output/report.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/tree/tree.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::TreeSketch;

std::string report(const Tree& tree, OutputOptions options = {}) {
    return build_text_report(tree, options, tree.stopped);
}

// Larger first, then name bytes ([files] by its name, a replaced name after
// every ASCII one), then index; the note of each child.
TEST(TextReport, RowsSortBySizeThenNameAndMarkDeniedOtherDeviceAndPartial) {
    TreeSketch sketch("/data", 7);
    sketch.folder(0, "denied", 0, kFlagUnreadable, 13);
    const uint32_t mnt = sketch.folder(0, "mnt", 4096, kFlagOtherDevice);
    sketch.folder(mnt, "lost+found", 0, kFlagUnreadable, 13);  // other device wins over partial
    for (const char* name : {"b", "\xFF", "dup", "a", "B"}) {
        sketch.folder(0, name, 7);
    }
    sketch.folder(0, "dup", 7, kFlagOtherDevice);
    const uint32_t photos = sketch.folder(0, "photos", 2048);
    sketch.folder(photos, "raw", 0, kFlagUnreadable, 1);
    sketch.folder(0, "both", 0, kFlagUnreadable | kFlagOtherDevice, 5);  // denied wins
    sketch.folder(0, "gone", 0, kFlagRemoved);
    EXPECT_EQ(report(sketch.build()),
              "   6.0 KiB  /data  (partial: 4 denied)\n"
              "   4.0 KiB  mnt/ (other device)\n"
              "   2.0 KiB  photos/ (partial)\n"
              "       7 B  B/\n"
              "       7 B  [files]\n"
              "       7 B  a/\n"
              "       7 B  b/\n"
              "       7 B  dup/\n"
              "       7 B  dup/ (other device)\n"
              "       7 B  \xEF\xBF\xBD/\n"
              "       0 B  both/ (denied: errno 5)\n"
              "       0 B  denied/ (denied: EACCES)\n");
}

TEST(TextReport, RootShapes) {
    const std::pair<Tree, const char*> cases[] = {
        {TreeSketch("/empty").build(), "       0 B  /empty\n"},
        {TreeSketch("/r", 3000).build(), "   2.9 KiB  /r\n   2.9 KiB  [files]\n"},
        // An unreadable root counts as denied; a stopped scan is marked after it.
        {TreeSketch("/r").root_flags(kFlagUnreadable, 13).stopped().build(),
         "       0 B  /r  (partial: 1 denied)  (incomplete: scan stopped)\n"},
    };
    for (const auto& [tree, expected] : cases) {
        EXPECT_EQ(report(tree), expected);
    }
}

TEST(TextReport, LargestFilesFollowTheRows) {
    TreeSketch sketch("/data", 5);
    const uint32_t a = sketch.folder(0, "a", 2009);
    const uint32_t b = sketch.folder(0, "b", 9);
    sketch.file(b, "x", 9).file(0, "z", 5).file(a, "y", 9).file(a, "\xFF", 2000);
    const Tree tree = sketch.build();
    OutputOptions options;
    options.top = 3;
    EXPECT_EQ(report(tree, options),
              "   2.0 KiB  /data\n"
              "   2.0 KiB  a/\n"
              "       9 B  b/\n"
              "       5 B  [files]\n"
              "\n"
              "largest files:\n"
              "   2.0 KiB  /data/a/\xEF\xBF\xBD\n"
              "       9 B  /data/a/y\n"
              "       9 B  /data/b/x\n");

    options.top = 0;
    options.depth = 5;  // changes nothing
    EXPECT_TRUE(report(tree, options).ends_with("       5 B  [files]\n\nlargest files:\n"));
}

TEST(EscapeControlChars, NoControlCharacterSurvivesAndNoEscapeIsAmbiguous) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"plain name \xC3\xA9", "plain name \xC3\xA9"},
        {"\x1b[2J\x1b]0;t\a", "\\x1b[2J\\x1b]0;t\\x07"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string_view("\0\x1f\x7f", 3), "\\x00\\x1f\\x7f"},
        {"\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0", "\\u{80}\\u{9b}\\u{9f}\xC2\xA0"},  // C1 only
        {"\\x1b", "\\\\x1b"},                      // a name that spells an escape stays told apart
        {"\x9B\xFF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a lone C1 byte is invalid UTF-8 first
    };
    for (const auto& [name, shown] : cases) {
        EXPECT_EQ(escape_control_chars(name), shown) << name;
    }
}

TEST(TextReport, ReclaimableColumns) {
    const auto sketch = [] {
        TreeSketch s("/r", 500);
        s.folder(0, "a", 4096);
        return s;
    };
    OutputOptions shown;
    shown.reclaimable = true;
    EXPECT_EQ(report(sketch().reclaimable({100, 2048}).build(), shown),
              "   4.5 KiB     2.1 KiB  /r\n"
              "   4.0 KiB     2.0 KiB  a/\n"
              "     500 B       100 B  [files]\n");
    // Asked for, but the scan kept none; kept, but not asked for.
    EXPECT_TRUE(report(sketch().build(), shown).ends_with("     500 B         0 B  [files]\n"));
    EXPECT_EQ(report(sketch().reclaimable({100, 2048}).build()),
              "   4.5 KiB  /r\n   4.0 KiB  a/\n     500 B  [files]\n");
}

}  // namespace
}  // namespace bramwex::core
