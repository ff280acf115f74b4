// Drives one scan for the benchmark: scans PATH and prints the total disk
// usage in bytes (folder allocations included, hard links once).
#include <fmt/format.h>

#include <charconv>
#include <cstdio>
#include <string_view>

#include "core/scan.hpp"

int main(int argc, char** argv) {
    using namespace bramwex::core;
    ScanOptions options;
    std::string_view path;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--threads" && k + 1 < argc) {
            uint32_t threads = 0;
            const std::string_view value = argv[++k];
            std::from_chars(value.data(), value.data() + value.size(), threads);
            options.threads = threads;
        } else if (arg == "--portable") {
            options.reader = Reader::Portable;
        } else {
            path = arg;
        }
    }
    if (path.empty()) {
        fmt::print(stderr, "usage: bramwex_bench_scan [--threads N] [--portable] PATH\n");
        return 2;
    }
    const auto tree = scan_tree(path, options);
    if (!tree) {
        fmt::print(stderr, "bramwex_bench_scan: {}\n", tree.error().to_string());
        return 1;
    }
    fmt::print("{}\n", tree->total_size(FolderId{0, 0}));
    return 0;
}
