#include "core/output/json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "core/tree/tree.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::TreeSketch;

std::string document(const Tree& tree, OutputOptions options = {}) {
    return build_json_document(tree, options, tree.stopped);
}

OutputOptions with_depth(std::optional<uint64_t> depth) {
    OutputOptions options;
    options.depth = depth;
    return options;
}

TEST(JsonString, EscapesAndReplacesEachInvalidSequenceOnce) {
    using namespace std::string_view_literals;
    const std::tuple<std::string_view, std::string_view, bool> cases[] = {
        {"", R"("")", false},
        {"\t\n\r\"\\", R"("\t\n\r\"\\")", false},
        // No short forms for backspace and form feed.
        {"\b\f\x1f", R"("\u0008\u000c\u001f")", false},
        {"a\0b"sv, R"("a\u0000b")", false},
        {"\x7f/caf\xC3\xA9 \xF0\x9F\x98\x80", "\"\x7f/caf\xC3\xA9 \xF0\x9F\x98\x80\"", false},
        {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\"", false},
        // Each maximal invalid subsequence becomes one U+FFFD.
        {"a\xFF\tb", "\"a\xEF\xBF\xBD\\tb\"", true},
        // E0 needs A0..BF next, so E0 and 80 are two separate faults.
        {"\xE0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", true},
        // A truncated four-byte sequence at the end is one fault.
        {"a\xF0\x9F\x98", "\"a\xEF\xBF\xBD\"", true},
        {"\xE2\x82x", "\"\xEF\xBF\xBDx\"", true},
        // Surrogates and code points past U+10FFFF are not UTF-8.
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", true},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", true},
    };
    for (const auto& [bytes, literal, lossy] : cases) {
        std::string out = "prefix ";
        EXPECT_EQ(write_json_string(out, bytes), lossy) << literal;
        EXPECT_EQ(out, "prefix " + std::string(literal));
    }
}

// 0 "/d" own 1; 1 "a" own 10 with 2 "a1" own 5; 3 "b" own 20.
Tree small_tree() {
    TreeSketch sketch("/d", 1);
    const uint32_t a = sketch.folder(0, "a", 10);
    sketch.folder(a, "a1", 5);
    sketch.folder(0, "b", 20);
    sketch.folder(0, "gone", 0, kFlagRemoved);
    return sketch.build();
}

TEST(JsonDocument, DepthDecidesWhichObjectsCarryChildren) {
    const std::pair<std::optional<uint64_t>, const char*> cases[] = {
        {0, "{\"name\":\"/d\",\"size\":36,\"own\":1}\n"},
        {std::nullopt, R"({"name":"/d","size":36,"own":1,"children":[)"
                       R"({"name":"b","size":20,"own":20},{"name":"a","size":15,"own":10}]})"
                       "\n"},
        {2, R"({"name":"/d","size":36,"own":1,"children":[)"
            R"({"name":"b","size":20,"own":20,"children":[]},)"
            R"({"name":"a","size":15,"own":10,"children":[{"name":"a1","size":5,"own":5}]}]})"
            "\n"},
    };
    for (const auto& [depth, json] : cases) {
        EXPECT_EQ(document(small_tree(), with_depth(depth)), json) << depth.value_or(0);
    }
    EXPECT_EQ(document(small_tree(), with_depth(1)), document(small_tree()));
}

TEST(JsonDocument, DeepChainsCloseEveryLevel) {
    constexpr uint32_t kLevels = 20000;  // far deeper than a recursive walk would like
    TreeSketch sketch("/");
    for (uint32_t i = 0; i < kLevels; ++i) {
        sketch.folder(i, "d", 1);
    }
    std::string expected = "{\"name\":\"/\",\"size\":20000,\"own\":0,\"children\":[", end;
    for (uint32_t i = 0; i < kLevels; ++i) {
        expected +=
            R"({"name":"d","size":)" + std::to_string(kLevels - i) + R"(,"own":1,"children":[)";
        end += "]}";
    }
    EXPECT_EQ(document(sketch.build(), with_depth(kLevels + 5)), expected + end + "]}\n");
}

TEST(JsonDocument, OptionalKeysComeInTheirFixedOrder) {
    TreeSketch sketch("/v");
    const uint32_t x = sketch.folder(0, "x\xFF", 7, kFlagUnreadable | kFlagOtherDevice, 1);
    sketch.folder(x, "g", 0, kFlagUnreadable, 13);
    sketch.reclaimable({0, 3, 4});
    OutputOptions options = with_depth(2);
    options.reclaimable = true;
    EXPECT_EQ(document(sketch.build(), options),
              R"({"name":"/v","size":7,"reclaimable":7,"own":0,"partial":true,"children":[)"
              "{\"name\":\"x\xEF\xBF\xBD\",\"size\":7,\"reclaimable\":7,\"own\":7,"
              R"("denied":"EPERM","other_device":true,"partial":true,"name_lossy":true,)"
              R"("children":[{"name":"g","size":0,"reclaimable":4,"own":0,"denied":"EACCES"}]}]})"
              "\n");
    // An unreadable root is denied but not partial.
    EXPECT_EQ(document(TreeSketch("/locked").root_flags(kFlagUnreadable, 4).build()),
              R"({"name":"/locked","size":0,"own":0,"denied":"errno 4","children":[]})"
              "\n");
}

TEST(JsonDocument, LargestFilesComeLast) {
    TreeSketch sketch("/data");
    const uint32_t a = sketch.folder(0, "a");
    const uint32_t b = sketch.folder(0, "b");
    sketch.file(b, "x", 9).file(0, "z", 5).file(a, "y", 9).file(0, "q\"\xFF", 1);
    OutputOptions options;
    options.top = 10;
    EXPECT_EQ(document(sketch.stopped().build(), options),
              R"({"name":"/data","size":0,"own":0,"incomplete":true,"children":[)"
              R"({"name":"a","size":0,"own":0},{"name":"b","size":0,"own":0}],"largest_files":[)"
              R"({"path":"/data/a/y","size":9},{"path":"/data/b/x","size":9},)"
              R"({"path":"/data/z","size":5},)"
              // Replaced and escaped like names, without a lossy key.
              "{\"path\":\"/data/q\\\"\xEF\xBF\xBD\",\"size\":1}]}\n");
}

}  // namespace
}  // namespace bramwex::core
