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
#include <string>
#include <thread>
#include <vector>

#include "app/app.hpp"
#include "app/browse/draw_browser.hpp"
#include "app/term/diff.hpp"
#include "app/term/graphemes.hpp"
#include "core/base/crc32.hpp"
#include "core/scan/scan.hpp"
#include "core/store/cache_key.hpp"
#include "core/store/cached_scan.hpp"
#include "core/store/saved_scan_format.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::app {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

constexpr uint64_t MiB = uint64_t{1} << 20;
const Spawn kNoSpawn = [](const Command&) { return std::optional<int>(); };

term::KeyEvent key(term::KeyCode code) {
    return {code, {}};
}

std::shared_ptr<const core::Tree> scanned(const std::string& root) {
    auto tree = core::scan_tree(root, {});
    if (!tree) {
        throw std::runtime_error("scan failed: " + tree.error().to_string());
    }
    return std::make_shared<const core::Tree>(std::move(*tree));
}

std::unique_ptr<Browser> browser_on(const std::string& root,
                                    std::shared_ptr<const core::Tree> tree) {
    auto browser =
        std::make_unique<Browser>(root, "root", AppEnv{}, std::nullopt, std::nullopt, false);
    browser->set_tree(std::move(tree), ScanState::complete());
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

// The renderer's own escape sequences taken out, the bytes left are text.
std::string without_escapes(std::string_view bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            i += 2;
            while (i < bytes.size() && !(bytes[i] >= 0x40 && bytes[i] <= 0x7E)) {
                ++i;
            }
            continue;
        }
        text += bytes[i];
    }
    return text;
}

void expect_clean_bytes(const term::Buffer& frame, std::string_view shown) {
    const term::Buffer blank(frame.area());
    for (const std::string& bytes : {term::redraw_frame(frame), term::diff_frames(blank, frame)}) {
        EXPECT_EQ(bytes.find('\a'), std::string::npos);
        const std::string text = without_escapes(bytes);
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

    auto browser = browser_on(root, scanned(root));
    const term::Buffer top = drawn(*browser, 100, 13);
    const std::vector<std::string> expected_top = {
        "root  75.0 MiB",
        "  15.0 MiB  20.0% 日本語フォルダ/                              9.0 MiB  bell�ring",
        "  13.0 MiB  17.3% esc�[31mred/                                 6.0 MiB  e\u0301cole",
        "  12.0 MiB  16.0% zwj👨‍👩‍👧",
        "   9.0 MiB  12.0% bad��name/",
        "   8.0 MiB  10.7% tab�bed",
        "   7.0 MiB   9.3% new�line/",
        "   6.0 MiB   8.0% rtlשלוםevil",
        "   4.0 MiB   5.3% a\u200Db",
        "   1.0 MiB   1.3% wide漢字e\u0301",
        "",
        "日本語フォルダ/ | 15.0 MiB  own 15.0 MiB",
        "hjkl move  i info  u units  space pick  p picks  r reveal  s/S rescan  / filter  ? help  "
        "q quit",
    };
    EXPECT_EQ(trimmed(top.text_rows()), expected_top);
    expect_clean_cells(top);
    expect_clean_bytes(top, "esc\xEF\xBF\xBD[31mred/");

    // One level down the names are cut in the middle in the parent column.
    browser->handle_key(key(U'l'), kNoSpawn);
    const term::Buffer inside = drawn(*browser, 100, 6);
    const std::vector<std::string> expected_inside = {
        "root  75.0 MiB",
        "  15.0 MiB  日本…ダ/    9.0 MiB  60.0% bell�ring",
        "  13.0 MiB  esc�…ed/    6.0 MiB  40.0% e\u0301cole",
        "  12.0 MiB  zwj👨‍👩‍👧",
        "bell�ring | 9.0 MiB",
        "hjkl move  i info  u units  space pick  p picks  r reveal  s/S rescan  / filter  ? help  "
        "q quit",
    };
    EXPECT_EQ(trimmed(inside.text_rows()), expected_inside);
    expect_clean_cells(inside);
    expect_clean_bytes(inside, "bell\xEF\xBF\xBDring");
}

// A valid saved scan of the root that would show a folder not on disk.
std::string save_ghost_scan(const std::string& cache, const std::string& root) {
    test::TreeSketch sketch(root);
    sketch.folder(0, "ghost", 999 * MiB);
    const core::Tree ghost = sketch.build();
    EXPECT_TRUE(core::save_cached_scan(cache, root, ghost, false));
    return cache + "/" + core::cache_key_for_path(root)->scan_file_name();
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool wait_for(App& app, const std::function<bool(Browser&)>& done,
              std::chrono::seconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        app.drain_events(WallClock::now());
        if (done(*app.shown_browser())) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(BrowserFaults, UntrustedSavedScansStartEmptyAndScan) {
    TempDir root;
    TempDir other;
    test::write_file(root / "real", 3 * MiB);
    const uint64_t total = scanned(root)->total_size({0, 0});

    struct Case {
        std::string name;
        std::function<void(std::string&, const std::string& cache)> damage;
    };
    const std::vector<Case> cases = {
        {"a flipped byte", [](std::string& b, auto&) { b[b.size() / 2] ^= 0x5A; }},
        {"cut short", [](std::string& b, auto&) { b.resize(b.size() - 9); }},
        {"empty", [](std::string& b, auto&) { b.clear(); }},
        {"another version",
         [](std::string& b, auto&) {
             b[core::kScanVersionOffset] = static_cast<char>(core::kScanVersion - 1);
             // Checksummed again, so that only the version is wrong.
             const uint32_t crc = core::crc32_ieee(
                 std::as_bytes(std::span(b.data(), b.size() - core::kScanTrailerSize)));
             for (size_t k = 0; k < 4; ++k) {
                 b[b.size() - 4 + k] = static_cast<char>(crc >> (8 * k));
             }
         }},
        {"another path",
         [&](std::string& b, const std::string& cache) {
             // The same key's file holding the scan of another folder.
             b = read_bytes(save_ghost_scan(cache, other));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir cache;
        const std::string file = save_ghost_scan(cache, root);
        ASSERT_TRUE(core::load_cached_tree(cache, root).value()) << "valid before the damage";
        std::string bytes = read_bytes(file);
        c.damage(bytes, cache);
        write_bytes(file, bytes);

        AppEnv env;
        env.cache_dir = cache.path();
        App app(root.path(), {}, env, nullptr, false);
        Browser* browser = app.shown_browser();
        ASSERT_NE(browser, nullptr);
        EXPECT_FALSE(browser->tree) << "starts empty";
        EXPECT_TRUE(browser->scan_running);
        bool saved_shown = false;
        ASSERT_TRUE(wait_for(app, [&](Browser& b) {
            saved_shown = saved_shown || (b.tree && b.state.is_saved());
            return b.state.is_complete();
        }));
        EXPECT_FALSE(saved_shown);
        EXPECT_EQ(browser->tree->total_size({0, 0}), total);
        EXPECT_FALSE(browser->status);
        // The scan replaced the untrusted file.
        const auto reloaded = core::load_cached_tree(cache, root);
        ASSERT_TRUE(reloaded && *reloaded);
        EXPECT_EQ((*reloaded)->tree.total_size({0, 0}), total);
    }
}

TEST(BrowserFaults, UnwritableCacheFolderWarnsOnceAndBrowses) {
    TempDir root;
    TempDir cache;
    test::write_file(root / "a/file", 1 * MiB);
    // Readable and writable by the user the test switches to when run as root.
    ::chmod(root.path().c_str(), 0777);
    ::chmod((root / "a").c_str(), 0777);
    ::chmod(cache.path().c_str(), 0555);
    test::as_nobody([&] {
        AppEnv env;
        env.cache_dir = cache.path();
        App app(root.path(), {}, env, nullptr, false);
        ASSERT_TRUE(wait_for(app, [](Browser& b) { return b.state.is_complete(); }));
        Browser& browser = *app.shown_browser();
        ASSERT_TRUE(browser.status);
        EXPECT_TRUE(browser.status->starts_with("warning: scan not saved: ")) << *browser.status;
        EXPECT_EQ(browser.status->find('\n'), std::string::npos);

        // Keys clear it; followed changes are not saved, so it does not come back.
        EXPECT_FALSE(app.on_key(key(U'l'), kNoSpawn));
        EXPECT_EQ(browser.path, std::vector<std::string>{"a"});
        EXPECT_FALSE(browser.status);
        const uint64_t before = browser.tree->total_size({0, 0});
        test::write_file(root / "a/more", 2 * MiB);
        ASSERT_TRUE(wait_for(app, [&](Browser& b) { return b.tree->total_size({0, 0}) > before; }));
        EXPECT_FALSE(browser.status);
        EXPECT_EQ(browser.rows.size(), 2u);
        // The app prints this one at exit.
        EXPECT_TRUE(app.save_scans());
    });
}

// root/deep: a chain of 10,000 folders with one file at the bottom;
// root/wide: 200,000 entries, 1,000 of them folders holding a byte each.
// Made relative to descriptors, as no path of the chain fits PATH_MAX.
class HugeTree : public testing::Test {
  protected:
    static constexpr int kDepth = 10000;
    static constexpr int kEntries = 200000;
    static constexpr int kFolders = 1000;

    static int folder_at(int fd, const std::string& name) {
        ::mkdirat(fd, name.c_str(), 0755);
        return ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    static void file_at(int fd, const std::string& name, std::string_view data = {}) {
        const int file = ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        (void)!::write(file, data.data(), data.size());
        ::close(file);
    }
    static void SetUpTestSuite() {
        root_ = std::make_unique<TempDir>(test::memory_temp_base());
        const int top = ::open(root_->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int fd = folder_at(top, "deep");
        for (int level = 0; level < kDepth; ++level) {
            const int next = folder_at(fd, "d");
            ::close(fd);
            fd = next;
        }
        file_at(fd, "leaf");
        ::close(fd);
        fd = folder_at(top, "wide");
        for (int k = 0; k < kFolders; ++k) {
            const int folder = folder_at(fd, "d" + std::to_string(k));
            file_at(folder, "one", "x");
            ::close(folder);
        }
        for (int k = kFolders; k < kEntries; ++k) {
            file_at(fd, "f" + std::to_string(k));
        }
        ::close(fd);
        ::close(top);
        tree_ = scanned(*root_);
    }
    static void TearDownTestSuite() {
        tree_.reset();
        root_.reset();
    }

    std::unique_ptr<Browser> browser() const { return browser_on(root_->path(), tree_); }

    static inline std::unique_ptr<TempDir> root_;
    static inline std::shared_ptr<const core::Tree> tree_;
};

TEST_F(HugeTree, AFolderOfTwoHundredThousandEntries) {
    auto b = browser();
    drawn(*b, 120, 40);
    b->select_name = "wide";
    b->refresh();
    b->handle_key(key(U'l'), kNoSpawn);
    ASSERT_EQ(b->rows.size(), size_t{kEntries});
    EXPECT_EQ(b->selected_entry()->name, "d0") << "folders of a byte before empty files";
    drawn(*b, 120, 40);
    b->handle_key(key(U'G'), kNoSpawn);
    const term::Buffer bottom = drawn(*b, 120, 40);
    EXPECT_EQ(b->selected, size_t{kEntries - 1});
    EXPECT_EQ(b->selected_entry()->name, "f99999") << "ties by name, byte order";
    EXPECT_TRUE(trimmed(bottom.text_rows())[38].starts_with("f99999 | 0 B"));
}

TEST_F(HugeTree, AChainOfTenThousandLevels) {
    auto b = browser();
    b->select_name = "deep";
    b->refresh();
    for (int k = 0; k < 4; ++k) {
        b->handle_key(key(U'l'), kNoSpawn);
        drawn(*b, 120, 40);
    }
    EXPECT_EQ(b->path.size(), 4u);
    EXPECT_EQ(b->stack.size(), 5u);

    // At the bottom, far past PATH_MAX, the file is still listed.
    b->path.assign(kDepth, "d");
    b->path.front() = "deep";
    b->path.push_back("d");
    b->refresh();
    EXPECT_EQ(b->stack.size(), size_t{kDepth + 2});
    const term::Buffer bottom = drawn(*b, 200, 10);
    ASSERT_EQ(b->rows.size(), 1u);
    EXPECT_EQ(b->selected_entry()->name, "leaf");
    EXPECT_TRUE(trimmed(bottom.text_rows())[8].starts_with("leaf | 0 B"));
    b->handle_key(key(U'h'), kNoSpawn);
    drawn(*b, 200, 10);
    EXPECT_EQ(b->path.size(), size_t{kDepth});
    EXPECT_EQ(b->selected_entry()->name, "d");
}

}  // namespace
}  // namespace bramwex::app
