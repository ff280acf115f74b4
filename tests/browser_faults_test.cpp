// The browser under bad input: names no terminal may see raw, saved scans
// that must not be trusted, a cache folder it cannot write, and trees far
// deeper or wider than usual.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.hpp"
#include "app/browse/draw_browser.hpp"
#include "app/term/diff.hpp"
#include "app/term/graphemes.hpp"
#include "core/scan/scan.hpp"
#include "core/store/cache_key.hpp"
#include "core/store/cached_scan.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

constexpr uint64_t MiB = uint64_t{1} << 20;
const Spawn kNoSpawn = [](const Command&) { return std::optional<int>(); };

std::shared_ptr<const core::Tree> scanned(const std::string& root) {
    return std::make_shared<const core::Tree>(core::scan_tree(root, {}).value());
}

std::unique_ptr<Browser> browser_on(const std::string& root) {
    auto browser =
        std::make_unique<Browser>(root, "root", AppEnv{}, std::nullopt, std::nullopt, false);
    browser->set_tree(scanned(root), ScanState::complete());
    return browser;
}

term::Buffer drawn(Browser& browser, uint16_t width, uint16_t height) {
    term::Buffer frame({0, 0, width, height});
    draw_browser(browser, frame, frame.area(), StyleTable::coloured(), WallClock::now());
    return frame;
}

std::vector<std::string> trimmed(std::vector<std::string> rows) {
    for (auto& row : rows) {
        row.erase(row.find_last_not_of(' ') + 1);
    }
    return rows;
}

// Code points that would let a name move the cursor, ring, recolour or
// reorder what the terminal shows after it.
bool has_control(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto at = [&](size_t k) -> uint32_t {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        const uint32_t two = at(0) << 8 | at(1), three = two << 8 | at(2);
        if (at(0) < 0x20 || at(0) == 0x7F || (two >= 0xC280 && two <= 0xC29F) ||
            three == 0xE2808E || three == 0xE2808F || (three >= 0xE280AA && three <= 0xE280AE) ||
            (three >= 0xE281A6 && three <= 0xE281A9)) {
            return true;
        }
    }
    return false;
}

// Every cell one grapheme of the width it takes on screen, nothing a
// terminal would act on.
void expect_clean_cells(const term::Buffer& frame) {
    const auto& cells = frame.cells();
    const uint16_t width = frame.area().width;
    for (size_t i = 0; i < cells.size(); ++i) {
        const auto at = testing::Message() << "cell " << i % width << "," << i / width;
        if (cells[i].skip) {
            EXPECT_TRUE(cells[i].symbol.empty()) << at;
            continue;
        }
        const bool wide = i % width + 1 < width && cells[i + 1].skip;
        term::GraphemeReader reader(cells[i].symbol);
        term::Grapheme grapheme;
        ASSERT_TRUE(reader.next(grapheme)) << at;
        EXPECT_EQ(grapheme.text, cells[i].symbol) << at << " holds more than one grapheme";
        EXPECT_EQ(grapheme.width, wide ? 2 : 1) << at << " '" << cells[i].symbol << "'";
        EXPECT_FALSE(has_control(cells[i].symbol)) << at;
    }
}

void expect_clean_bytes(const term::Buffer& frame, std::string_view shown) {
    const term::Buffer blank(frame.area());
    for (const std::string& bytes : {term::redraw_frame(frame), term::diff_frames(blank, frame)}) {
        EXPECT_EQ(bytes.find('\a'), std::string::npos);
        // The renderer's own escape sequences taken out, the bytes left are text.
        const std::string text = std::regex_replace(bytes, std::regex("\x1b\\[[^@-~]*[@-~]"), "");
        EXPECT_FALSE(has_control(text)) << text;
        EXPECT_NE(text.find(shown), std::string::npos) << "written as drawn";
    }
}

TEST(BrowserFaults, OddNamesKeepTheirRowsColumnsAndWidths) {
    TempDir root;
    // Sizes in MiB, chosen so that no percentage moves with the folders' own blocks.
    const std::vector<std::pair<std::string, uint64_t>> files = {
        {"日本語フォルダ/bell\aring", 9},
        {"日本語フォルダ/e\u0301cole", 6},
        {"esc\x1b[31mred/x", 13},
        {"zwj👨\u200D👩\u200D👧", 12},
        {"bad\xFF\xFEname/\u0301lead", 9},
        {"tab\tbed", 8},
        {"new\nline/y", 7},
        {"rtl\u200Fשלום\u202Eevil", 6},
        {"a\u200Db", 4},
        {"wide漢字e\u0301", 1},
    };
    for (const auto& [path, size] : files) {
        test::write_file(root / path, size * MiB);
    }

    auto browser = browser_on(root);
    const term::Buffer top = drawn(*browser, 100, 13);
    const auto rows = trimmed(top.text_rows());
    EXPECT_EQ(rows[1],
              "  15.0 MiB  20.0% 日本語フォルダ/                              9.0 MiB  bell�ring");
    EXPECT_EQ(
        rows[2],
        "  13.0 MiB  17.3% esc�[31mred/                                 6.0 MiB  e\u0301cole");
    // clang-format off
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 3, rows.begin() + 10), (std::vector<std::string>{
        "  12.0 MiB  16.0% zwj👨‍👩‍👧", "   9.0 MiB  12.0% bad��name/", "   8.0 MiB  10.7% tab�bed",
        "   7.0 MiB   9.3% new�line/", "   6.0 MiB   8.0% rtlשלוםevil", "   4.0 MiB   5.3% a\u200Db",
        "   1.0 MiB   1.3% wide漢字e\u0301"}));
    // clang-format on
    expect_clean_cells(top);
    expect_clean_bytes(top, "esc\xEF\xBF\xBD[31mred/");

    // One level down the names are cut in the middle in the parent column.
    browser->handle_key({U'l', {}}, kNoSpawn);
    const term::Buffer inside = drawn(*browser, 100, 6);
    const auto inner = trimmed(inside.text_rows());
    EXPECT_EQ(inner[1], "  15.0 MiB  日本…ダ/    9.0 MiB  60.0% bell�ring");
    EXPECT_EQ(inner[4], "bell�ring | 9.0 MiB");
    expect_clean_cells(inside);
    expect_clean_bytes(inside, "bell\xEF\xBF\xBDring");
}

// A valid saved scan of the root that would show a folder not on disk.
std::string save_ghost_scan(const std::string& cache, const std::string& root) {
    test::TreeSketch sketch(root);
    sketch.folder(0, "ghost", 999 * MiB);
    EXPECT_TRUE(core::save_cached_scan(cache, root, sketch.build(), false));
    return cache + "/" + core::cache_key_for_path(root)->scan_file_name();
}

bool wait_for(App& app, const std::function<bool(Browser&)>& done) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        app.drain_events(WallClock::now());
        if (done(*app.shown_browser())) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The loader's checks are tested with the store; here, that the app shows
// nothing of a scan it rejects, scans and replaces it.
TEST(BrowserFaults, UntrustedSavedScansStartEmptyAndScan) {
    TempDir root, other;
    test::write_file(root / "real", 3 * MiB);
    const uint64_t total = scanned(root)->total_size({0, 0});
    for (const bool flipped : {true, false}) {
        TempDir cache;
        std::ifstream in(save_ghost_scan(cache, flipped ? root : other), std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), {}};
        if (flipped) {
            bytes[bytes.size() / 2] ^= 0x5A;
        }
        // Another folder's scan under this folder's key, or a damaged one.
        std::ofstream(save_ghost_scan(cache, root), std::ios::binary | std::ios::trunc) << bytes;

        AppEnv env;
        env.cache_dir = cache.path();
        App app(root.path(), {}, env, nullptr, false);
        Browser* browser = app.shown_browser();
        ASSERT_NE(browser, nullptr);
        EXPECT_FALSE(browser->tree) << "starts empty";
        bool saved_shown = false;
        ASSERT_TRUE(wait_for(app, [&](Browser& b) {
            saved_shown = saved_shown || (b.tree && b.state.is_saved());
            return b.state.is_complete();
        }));
        EXPECT_FALSE(saved_shown);
        EXPECT_EQ(browser->tree->total_size({0, 0}), total);
        EXPECT_FALSE(browser->status);
        const auto reloaded = core::load_cached_tree(cache, root);
        ASSERT_TRUE(reloaded && *reloaded);
        EXPECT_EQ((*reloaded)->tree.total_size({0, 0}), total);
    }
}

TEST(BrowserFaults, UnwritableCacheFolderWarnsOnceAndBrowses) {
    TempDir root;
    TempDir cache;
    test::write_file(root / "file", 1 * MiB);
    ::chmod(root.path().c_str(), 0755);  // readable by the user the test switches to as root
    ::chmod(cache.path().c_str(), 0555);
    test::as_nobody([&] {
        AppEnv env;
        env.cache_dir = cache.path();
        App app(root.path(), {}, env, nullptr, false);
        ASSERT_TRUE(wait_for(app, [](Browser& b) { return b.state.is_complete(); }));
        Browser& browser = *app.shown_browser();
        const std::string status = browser.status.value_or("");
        EXPECT_TRUE(status.starts_with("warning: scan not saved: ")) << status;
        EXPECT_EQ(status.find('\n'), std::string::npos);
        EXPECT_FALSE(app.on_key({U'l', {}}, kNoSpawn));
        EXPECT_FALSE(browser.status) << "a key clears it";
    });
}

// A chain of 10,000 folders with a file at the bottom, far past PATH_MAX,
// made relative to descriptors.
TEST(BrowserFaults, AChainOfTenThousandLevels) {
    constexpr int kDepth = 10000;
    TempDir root(test::memory_temp_base());
    int fd = ::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level <= kDepth; ++level) {
        const char* name = level == 0 ? "deep" : "d";
        ::mkdirat(fd, name, 0755);
        const int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ::close(fd);
    auto b = browser_on(root);
    b->path.assign(kDepth + 1, "d");
    b->path.front() = "deep";
    b->refresh();
    EXPECT_EQ(b->stack.size(), size_t{kDepth + 2});
    EXPECT_TRUE(trimmed(drawn(*b, 200, 10).text_rows())[8].starts_with("leaf | 0 B"));
    b->handle_key({U'h', {}}, kNoSpawn);
    EXPECT_EQ(b->path.size(), size_t{kDepth});
}

}  // namespace
}  // namespace bramwex::app
