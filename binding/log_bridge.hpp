// The engine's log records sent to Python's `logging`, under the logger named
// by the record's target with "::" turned into "." (bramwex_core::live ->
// bramwex_core.live). Installed by the first scan, once per process, unless
// another logger (the command line's log file) came first.
#pragma once

namespace bramwex::binding {

void install_log_bridge();

}  // namespace bramwex::binding
