// A scan from Python that Ctrl-C can stop: the scan runs on a thread of its
// own while the calling thread waits with the interpreter lock released,
// waking every few tens of milliseconds to run Python's signal handlers.
#pragma once

#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/scan/scan_options.hpp"
#include "core/tree/tree.hpp"

namespace bramwex::binding {

// The scan's result; nullopt with the Python exception set when a signal
// handler raised (KeyboardInterrupt), after the scan was stopped through its
// interrupt and its thread joined. Call holding the interpreter lock. Throws
// std::system_error when the thread cannot start, and rethrows what the scan
// threw.
std::optional<core::Result<core::Tree>> scan_until_interrupted(const std::string& path,
                                                               core::ScanOptions options);

}  // namespace bramwex::binding
