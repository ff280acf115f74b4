// What the browser's heavier keys cost: opening the largest files (t) on a
// scanned tree, opening 1,000 picks (p), and a rescan of a folder of 10,000
// files (s) until the changed tree is drawn. Each time includes the frame
// drawn after the key.
//
//   bramwex_keys_bench TREE
//
// Limits it checks (exit status 1 when one is missed): t under 5 ms with at
// most one lstat per line shown, p under 20 ms, s under 200 ms.
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/browse/browser.hpp"
#include "app/browse/draw_browser.hpp"
#include "core/scan/scan.hpp"

namespace {

using namespace bramwex;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const app::Spawn kNoSpawn = [](const app::Command&) { return std::nullopt; };

void draw(app::Browser& b) {
    term::Buffer frame({0, 0, 120, 40});
    app::draw_browser(b, frame, frame.area(), app::StyleTable::coloured(), app::WallClock::now());
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The key and the frame after it.
double timed_key(app::Browser& b, char32_t key) {
    const auto start = Clock::now();
    b.handle_key({term::KeyCode(key), {}}, kNoSpawn);
    draw(b);
    return ms_since(start);
}

std::unique_ptr<app::Browser> browser_on(const std::string& root) {
    return std::make_unique<app::Browser>(root, root, app::AppEnv{}, std::nullopt, std::nullopt,
                                          false);
}

void write_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, "x", 1) != 1) {
        fmt::print(stderr, "keys_bench: cannot write {}\n", path);
        std::exit(2);
    }
    ::close(fd);
}

// Waits for the live thread until done holds; false after 30 s.
template <class F>
bool drain_until(app::Browser& b, F done) {
    const auto deadline = Clock::now() + 30s;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(200us);
        b.drain_events(app::WallClock::now());
    }
    return true;
}

double rescan_ms(const std::string& scratch) {
    const std::string root = scratch + "/root";
    std::filesystem::create_directories(root + "/many");
    std::filesystem::create_directories(root + "/other");
    for (int k = 0; k < 10000; ++k) {
        write_file(fmt::format("{}/many/f{:05}", root, k));
    }
    auto b = browser_on(root);
    b->start_scan();
    if (!drain_until(*b, [&] { return b->tree && b->state.is_complete(); }) ||
        !drain_until(*b, [&] { return b->live->control().busy == 0; })) {
        fmt::print(stderr, "keys_bench: the first scan did not end\n");
        std::exit(2);
    }
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        b->select_name = "many";
        b->refresh();
        write_file(fmt::format("{}/many/new{}", root, run));
        const uint64_t before = b->tree->total_size({0, b->tree->generation});
        const auto start = Clock::now();
        b->handle_key({term::KeyCode(U's'), {}}, kNoSpawn);
        const bool shown = drain_until(*b, [&] {
            return !b->rescanning && b->tree->total_size({0, b->tree->generation}) != before;
        });
        draw(*b);
        times.push_back(shown ? ms_since(start) : 1e9);
    }
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fmt::print(stderr, "usage: bramwex_keys_bench TREE\n");
        return 2;
    }
    const std::string root = argv[1];
    const auto scan_start = Clock::now();
    auto tree = core::scan_tree(root, core::ScanOptions{});
    if (!tree) {
        fmt::print(stderr, "keys_bench: cannot scan {}: {}\n", root, tree.error().to_string());
        return 2;
    }
    fmt::print("scanned {} folders in {:.0f} ms\n", tree->folders.size(), ms_since(scan_start));
    auto b = browser_on(root);
    b->set_tree(std::make_shared<const core::Tree>(std::move(*tree)), app::ScanState::complete());
    draw(*b);

    std::vector<double> t_times;
    size_t checked = 0;
    size_t lines = 0;
    for (int run = 0; run < 21; ++run) {
        t_times.push_back(timed_key(*b, U't'));
        checked = std::max(checked, b->largest_shown->size());
        lines = b->geometry.height;
        timed_key(*b, U't');
    }
    const double t_ms = median(t_times);

    // Half folders found in the tree, half files asked of the disk.
    std::vector<std::string> picks;
    for (uint32_t i = 1; i < b->tree->folders.size() && picks.size() < 500; i += 97) {
        picks.push_back(b->tree->relative_path(i));
    }
    for (const auto& file : b->largest) {
        if (picks.size() < 1000) {
            picks.push_back(file.path.substr(root.size() + 1));
        }
    }
    b->picks = picks;
    std::vector<double> p_times;
    for (int run = 0; run < 21; ++run) {
        p_times.push_back(timed_key(*b, U'p'));
        timed_key(*b, U'p');
    }
    const double p_ms = median(p_times);

    char scratch_template[] = "/dev/shm/bramwex-keys-bench-XXXXXX";
    const char* scratch = ::mkdtemp(scratch_template);
    if (scratch == nullptr) {
        fmt::print(stderr, "keys_bench: no scratch folder\n");
        return 2;
    }
    const double s_ms = rescan_ms(scratch);
    std::filesystem::remove_all(scratch);

    fmt::print("t  {:8.2f} ms  ({} files checked for {} lines)\n", t_ms, checked, lines);
    fmt::print("p  {:8.2f} ms  ({} picks)\n", p_ms, picks.size());
    fmt::print("s  {:8.2f} ms  (folder of 10,000 files, until drawn)\n", s_ms);
    const bool ok = t_ms < 5 && checked <= lines && p_ms < 20 && s_ms < 200;
    return ok ? 0 : 1;
}
