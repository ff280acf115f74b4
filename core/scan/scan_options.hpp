// What the caller of a scan chooses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace bramwex::core {

// Asked once per folder before it is opened, from several workers at once;
// once it answers true it must keep answering true.
using StopTest = std::function<bool()>;

enum class Reader : uint8_t {
    Auto = 0,      // probe the file system; bulk listing where it is offered
    Portable = 1,  // readdir and one fstatat per entry, everywhere
};

// More workers than this only add contention; a count past it is refused
// before any thread starts (the command line with status 2, Python with
// ValueError).
inline constexpr uint32_t kMaxScanThreads = 1024;

struct ScanOptions {
    StopTest stop;                    // none: never stop early
    std::optional<uint32_t> threads;  // 1 to kMaxScanThreads; none: automatic worker count
    bool reclaimable = false;
    Reader reader = Reader::Auto;
};

}  // namespace bramwex::core
