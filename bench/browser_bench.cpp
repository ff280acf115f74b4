// The browser on a large tree whose saved scan is in the cache folder: the
// time to the first frame, a selection move (draw and diff), entering
// folders of 10,000+ files, memory while following and browsing, and the
// bytes of a keystroke frame; then a chain of 10,000 folders and a folder of
// 200,000 entries, built in a scratch folder and browsed the same way.
//
//   bramwex_browser_bench [ROOT] [--cache DIR] [--scratch DIR] [--frames N]
//
// ROOT defaults to /tmp/bramwex-bench/full and DIR to
// /tmp/bramwex-bench/browser-cache, which must hold the saved scan of ROOT:
//   BRAMWEX_CACHE_DIR=DIR bramwex scan ROOT
// The scratch folder (default /dev/shm, else /tmp) gets a temporary folder
// that is removed at the end.
//
// Limits it checks (exit status 1 when one is missed): first frame under
// 100 ms, selection move under 2 ms median, entering a folder of 10,000+
// files under 50 ms, peak RSS under 120 MB, a keystroke frame under 600
// bytes; on the huge trees, no step over 100 ms (a visible pause).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/browse/draw_browser.hpp"
#include "app/browse/folder_files.hpp"
#include "app/term/diff.hpp"
#include "core/scan/scan.hpp"
#include "core/store/cached_scan.hpp"

namespace {

using namespace bramwex;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kColumns = 120;
constexpr uint16_t kRows = 40;
const app::Spawn kNoSpawn = [](const app::Command&) { return std::optional<int>(); };

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

uint64_t status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) {
            return std::strtoull(line.c_str() + std::string_view(field).size(), nullptr, 10);
        }
    }
    return 0;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void press(app::Browser& b, char32_t ch) {
    b.handle_key({term::KeyCode(ch), {}}, kNoSpawn);
}

// Draws the browser as the app does, one frame after another.
struct Screen {
    term::Buffer shown{{0, 0, kColumns, kRows}};
    std::string bytes;

    void frame(app::Browser& b) {
        term::Buffer next({0, 0, kColumns, kRows});
        app::draw_browser(b, next, next.area(), app::StyleTable::coloured(),
                          std::chrono::system_clock::now());
        bytes = term::diff_frames(shown, next);
        shown = std::move(next);
    }
};

struct Limits {
    bool ok = true;
    void check(bool within) { ok = ok && within; }
};

// A key press, then draw and diff, `frames` times: median milliseconds and
// the median and largest bytes written.
struct Moves {
    double median_ms;
    size_t median_bytes;
    size_t max_bytes;
};
Moves time_moves(app::Browser& b, Screen& screen, int frames) {
    std::vector<double> times;
    std::vector<double> sizes;
    for (int i = 0; i < frames; ++i) {
        const auto start = Clock::now();
        press(b, i % 2 == 0 ? U'j' : U'k');
        screen.frame(b);
        times.push_back(ms_since(start));
        sizes.push_back(static_cast<double>(screen.bytes.size()));
    }
    return {median(times), static_cast<size_t>(median(sizes)),
            static_cast<size_t>(*std::max_element(sizes.begin(), sizes.end()))};
}

// Puts the browser in the parent of `index` with it selected.
void show_parent_of(app::Browser& b, uint32_t index) {
    std::vector<std::string> names;
    for (uint32_t k = b.tree->folders[index].parent; k != 0; k = b.tree->folders[k].parent) {
        names.emplace_back(b.tree->name_at(b.tree->folders[k].name_id));
    }
    b.path.assign(names.rbegin(), names.rend());
    b.select_name = std::string(b.tree->name_at(b.tree->folders[index].name_id));
    b.filter.clear();
    b.refresh();
}

// Every folder in the order a user walking the tree depth-first meets it.
void visit_all(app::Browser& b, Screen& screen, app::WallClock::time_point& now) {
    const core::Tree& tree = *b.tree;
    for (uint32_t index = 1; index < tree.record_count(); ++index) {
        if (tree.folders[index].flags & core::kFlagRemoved) {
            continue;
        }
        show_parent_of(b, index);
        press(b, U'l');
        screen.frame(b);
        if (index % 1024 == 0) {
            now = app::WallClock::now();
            b.drain_events(now);
        }
    }
}

// A chain of 10,000 folders with a file at the bottom, and a folder of
// 200,000 entries of which 1,000 are folders; made relative to descriptors.
void build_huge(const std::string& top_path) {
    const int top = ::open(top_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::mkdirat(top, "deep", 0755);
    int fd = ::openat(top, "deep", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < 10000; ++level) {
        ::mkdirat(fd, "d", 0755);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ::close(fd);
    ::mkdirat(top, "wide", 0755);
    fd = ::openat(top, "wide", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int k = 0; k < 1000; ++k) {
        const std::string name = fmt::format("d{:04}", k);
        ::mkdirat(fd, name.c_str(), 0755);
        const int file = ::openat(fd, (name + "/one").c_str(), O_WRONLY | O_CREAT, 0644);
        (void)!::write(file, "x", 1);
        ::close(file);
    }
    for (int k = 1000; k < 200000; ++k) {
        const std::string name = fmt::format("f{:06}", k);
        ::close(::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    ::close(fd);
    ::close(top);
}

void huge_trees(const std::string& scratch, int frames, Limits& limits) {
    std::string top = scratch + "/bramwex-browser-bench-XXXXXX";
    if (::mkdtemp(top.data()) == nullptr) {
        fmt::print(stderr, "browser_bench: cannot make a folder in {}\n", scratch);
        std::exit(2);
    }
    build_huge(top);
    auto scanned = core::scan_tree(top, {});
    if (!scanned) {
        fmt::print(stderr, "browser_bench: scan failed: {}\n", scanned.error().to_string());
        std::exit(2);
    }
    auto tree = std::make_shared<const core::Tree>(std::move(*scanned));
    fmt::print("\nhuge trees in {} (limit 100 ms a step)\n", top);
    const auto step = [&](const char* what, const std::function<void()>& body) {
        const auto start = Clock::now();
        body();
        const double ms = ms_since(start);
        fmt::print("  {:<44} {:>8.2f} ms\n", what, ms);
        limits.check(ms < 100);
    };

    app::Browser b(top, "huge", {}, std::nullopt, std::nullopt, false);
    Screen screen;
    step("first frame", [&] {
        b.set_tree(tree, app::ScanState::complete());
        screen.frame(b);
    });
    step("into the folder of 200,000 entries", [&] {
        b.select_name = "wide";
        b.refresh();
        press(b, U'l');
        screen.frame(b);
    });
    step("to its last row (G)", [&] {
        press(b, U'G');
        screen.frame(b);
    });
    const Moves wide_moves = time_moves(b, screen, frames);
    fmt::print("  {:<44} {:>8.2f} ms median\n", "selection moves there", wide_moves.median_ms);
    limits.check(wide_moves.median_ms < 100);
    step("out and into the chain, 4 levels", [&] {
        press(b, U'h');
        b.select_name = "deep";
        b.refresh();
        for (int k = 0; k < 4; ++k) {
            press(b, U'l');
        }
        screen.frame(b);
    });
    step("to the bottom, 10,000 levels down", [&] {
        b.path.assign(10001, "d");
        b.path.front() = "deep";
        b.refresh();
        screen.frame(b);
    });
    step("one level up from there (h)", [&] {
        press(b, U'h');
        screen.frame(b);
    });
    std::filesystem::remove_all(top);
}

}  // namespace

int main(int argc, char** argv) {
    std::string root = "/tmp/bramwex-bench/full";
    std::string cache = "/tmp/bramwex-bench/browser-cache";
    std::string scratch = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    int frames = 500;
    bool huge_only = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (k + 1 < argc && arg == "--cache") {
            cache = argv[++k];
        } else if (k + 1 < argc && arg == "--scratch") {
            scratch = argv[++k];
        } else if (arg == "--huge-only") {
            huge_only = true;
        } else if (k + 1 < argc && arg == "--frames") {
            frames = std::max(1, std::atoi(argv[++k]));
        } else {
            root = arg;
        }
    }
    Limits limits;
    if (huge_only) {
        huge_trees(scratch, frames, limits);
        return limits.ok ? 0 : 1;
    }

    // From the start to the first frame: load the saved scan, build the
    // browser on it, draw, and turn the frame into bytes.
    const auto start = Clock::now();
    auto loaded = core::load_cached_tree(cache, root);
    if (!loaded || !*loaded) {
        fmt::print(stderr,
                   "browser_bench: no saved scan of {} in {}; make it with\n"
                   "  BRAMWEX_CACHE_DIR={} bramwex scan {}\n",
                   root, cache, cache, root);
        return 2;
    }
    app::AppEnv env;
    env.cache_dir = cache;
    app::Browser b(root, root, env, std::move(**loaded), std::nullopt, false);
    Screen screen;
    screen.frame(b);
    const size_t full_bytes = term::redraw_frame(screen.shown).size();
    const double first_ms = ms_since(start);
    const core::Tree& saved = *b.tree;
    fmt::print("{}: {} folders in its saved scan\n", root, saved.record_count());
    fmt::print("screen {}x{}, {} frames per median\n", kColumns, kRows, frames);
    fmt::print("first frame with the saved tree:   {:>8.2f} ms (limit 100)\n", first_ms);
    limits.check(first_ms < 100);
    fmt::print("full frame:                        {:>8} bytes\n", full_bytes);

    const Moves root_moves = time_moves(b, screen, frames);
    fmt::print("selection move at the root:        {:>8.3f} ms median (limit 2)\n",
               root_moves.median_ms);
    fmt::print("keystroke frame at the root:       {:>8} bytes median, {} largest (limit 600)\n",
               root_moves.median_bytes, root_moves.max_bytes);
    limits.check(root_moves.median_ms < 2 && root_moves.max_bytes < 600);

    // The folders holding the most bytes of their own are the crowded ones.
    std::vector<uint32_t> by_own(saved.record_count());
    for (uint32_t i = 0; i < by_own.size(); ++i) {
        by_own[i] = i;
    }
    std::partial_sort(
        by_own.begin(), by_own.begin() + 10, by_own.end(),
        [&](uint32_t x, uint32_t y) { return saved.folders[x].own > saved.folders[y].own; });
    std::optional<uint32_t> crowded;
    for (size_t k = 0; k < 10; ++k) {
        const uint32_t index = by_own[k];
        if (index == 0) {
            continue;
        }
        show_parent_of(b, index);
        // Listed for the preview already: listed again, as on a first visit.
        b.file_cache.erase({index, saved.generation});
        b.row_cache.erase({index, saved.generation});
        const auto entering = Clock::now();
        press(b, U'l');
        const double ms = ms_since(entering);
        const size_t files = b.file_cache.at(b.current_folder()).size();
        if (files < 10000) {
            continue;
        }
        const auto listing = Clock::now();
        (void)app::list_folder_files(saved, {index, saved.generation}, false);
        fmt::print(
            "entering a folder of {:>6} files:  {:>8.2f} ms (limit 50; listing alone {:.2f})\n",
            files, ms, ms_since(listing));
        limits.check(ms < 50);
        if (!crowded || files > b.file_cache.at({*crowded, saved.generation}).size()) {
            crowded = index;
        }
    }
    if (!crowded) {
        fmt::print(stderr, "browser_bench: no folder of 10,000+ files in {}\n", root);
        return 2;
    }
    show_parent_of(b, *crowded);
    press(b, U'l');
    screen.frame(b);
    const Moves crowded_moves = time_moves(b, screen, frames);
    fmt::print("selection move among {:>6} rows:   {:>8.3f} ms median (limit 2)\n", b.rows.size(),
               crowded_moves.median_ms);
    fmt::print("keystroke frame there:             {:>8} bytes median, {} largest (limit 600)\n",
               crowded_moves.median_bytes, crowded_moves.max_bytes);
    limits.check(crowded_moves.median_ms < 2 && crowded_moves.max_bytes < 600);

    // Following: the live thread scans the whole tree, the ready tree
    // replaces the saved one, then every folder is walked into.
    const auto scan_start = Clock::now();
    auto now = app::WallClock::now();
    b.start_scan();
    while (!b.state.is_complete()) {
        std::this_thread::sleep_for(10ms);
        now = app::WallClock::now();
        b.drain_events(now);
        if (!b.scan_running && !b.state.is_complete()) {
            fmt::print(stderr, "browser_bench: the scan failed: {}\n", b.status.value_or(""));
            return 2;
        }
    }
    fmt::print("scan until the ready tree shows:   {:>8.0f} ms\n", ms_since(scan_start));
    b.path.clear();
    b.refresh();
    time_moves(b, screen, frames);
    const uint64_t ready_kib = status_kib("VmRSS:");
    const uint64_t ready_peak_kib = status_kib("VmHWM:");
    fmt::print("RSS following, ready tree shown:   {:>8.1f} MiB now, {:.1f} MiB peak (limit 120)\n",
               ready_kib / 1024.0, ready_peak_kib / 1024.0);
    limits.check(ready_peak_kib < 120 * 1024);

    const auto walk_start = Clock::now();
    visit_all(b, screen, now);
    size_t rows = 0;
    size_t listed = 0;
    size_t remembered = 0;
    for (const auto& [id, cached] : b.row_cache) {
        rows += cached.size();
    }
    for (const auto& [id, files] : b.file_cache) {
        listed += files.size();
    }
    for (const auto& [folder, sizes] : b.file_baseline) {
        remembered += sizes.size();
    }
    fmt::print("every folder walked into, drawn:   {:>8.0f} ms\n", ms_since(walk_start));
    fmt::print("  kept: {} rows, {} listed files, {} file sizes of the baseline\n", rows, listed,
               remembered);
    const uint64_t walked_kib = status_kib("VmRSS:");
    const uint64_t walked_peak_kib = status_kib("VmHWM:");
    fmt::print("RSS after walking the whole tree:  {:>8.1f} MiB now, {:.1f} MiB peak (limit 120)\n",
               walked_kib / 1024.0, walked_peak_kib / 1024.0);
    limits.check(walked_peak_kib < 120 * 1024);
    b.stop_and_save();

    huge_trees(scratch, frames, limits);
    fmt::print("\n{}\n", limits.ok ? "all limits met" : "a limit was missed");
    return limits.ok ? 0 : 1;
}
