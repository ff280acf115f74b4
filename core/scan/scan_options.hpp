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

struct ScanOptions {
    StopTest stop;                    // none: never stop early
    std::optional<uint32_t> threads;  // non-zero; none: automatic worker count
    bool reclaimable = false;
    Reader reader = Reader::Auto;
};

}  // namespace bramwex::core
