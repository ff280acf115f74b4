// Times labelling: scans PATH, then labels every folder of the tree ROUNDS
// times (one by default) and prints the time per folder. Labels are meant for
// the folders on screen, so the figure to watch is the cost of one folder;
// tracing two runs with different ROUNDS isolates the system calls of labelling.
#include <fmt/format.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "core/labels/labels.hpp"
#include "core/scan/scan.hpp"

int main(int argc, char** argv) {
    using namespace bramwex::core;
    std::string_view path;
    uint32_t rounds = 1;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--rounds" && k + 1 < argc) {
            const std::string_view value = argv[++k];
            std::from_chars(value.data(), value.data() + value.size(), rounds);
        } else {
            path = arg;
        }
    }
    if (path.empty() || rounds == 0) {
        fmt::print(stderr, "usage: bramwex_label_bench [--rounds N] PATH\n");
        return 2;
    }
    const auto tree = scan_tree(path, ScanOptions{});
    if (!tree) {
        fmt::print(stderr, "bramwex_label_bench: {}\n", tree.error().to_string());
        return 1;
    }
    const LabelContext context = LabelContext::from_environment(path);

    std::array<uint64_t, 4> by_tier{};  // System, Cache, Known, none
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t round = 0; round < rounds; ++round) {
        by_tier = {};
        for (uint32_t index = 0; index < tree->record_count(); ++index) {
            const auto label = label_folder(*tree, context, FolderId{index, tree->generation});
            ++by_tier[label ? static_cast<size_t>(label->tier) : 3];
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    const uint64_t labelled = uint64_t{tree->record_count()} * rounds;
    fmt::print("folders {}  rounds {}  system {}  cache {}  known {}  none {}\n",
               tree->record_count(), rounds, by_tier[0], by_tier[1], by_tier[2], by_tier[3]);
    fmt::print("total {:.3f} s  per folder {:.2f} us\n", elapsed.count(),
               elapsed.count() * 1e6 / static_cast<double>(labelled));
    return 0;
}
