// What the caller of a scan chooses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace bramwex::core {

// Asked from several workers at once; once it answers true it must keep
// answering true.
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
    // Asked once per folder below the root, before it is opened: a yes
    // leaves the folder out, while every folder already opened is listed
    // whole. None: never stop early.
    StopTest stop;
    // Asked like stop, and also between the batches of every listing, the
    // root's included: a yes cuts a listing short. For requests to end now
    // (a signal, a closed live following); none: never interrupted.
    StopTest interrupt;
    std::optional<uint32_t> threads;  // 1 to kMaxScanThreads; none: automatic worker count
    bool reclaimable = false;
    Reader reader = Reader::Auto;
};

}  // namespace bramwex::core
