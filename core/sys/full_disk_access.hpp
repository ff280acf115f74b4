// Whether the process may read the folders the system guards on behalf of the
// user (mail, browser data, the privacy database). The app asks before it
// opens a folder inside the home folder, so that it can explain an otherwise
// puzzling "permission denied". Where those folders do not exist, as on
// Linux, the answer is "unknown". Runs on the caller's thread, keeps no state.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "core/sys/dirread.hpp"

namespace bramwex::core::sys {

enum class FullDiskAccess : uint8_t {
    On = 0,       // a guarded folder could be listed
    Off = 1,      // the system refused with EPERM
    Unknown = 2,  // no guarded folder could be listed for another reason
};

// Opens base joined with relative as a folder and lists it to the end,
// discarding the entries. The first error number met is returned; a path
// holding a NUL byte gives EINVAL without a call.
std::expected<void, int> probe_dir(std::string_view base, std::string_view relative);

// Probes the guarded folders below base, the home folder. Never fails: every
// error becomes part of the answer.
FullDiskAccess full_disk_access(std::string_view base);

namespace detail {

using ProbeDir = absl::FunctionRef<std::expected<void, int>(std::string_view, std::string_view)>;

// full_disk_access with the probe chosen by the caller.
FullDiskAccess full_disk_access_with(std::string_view base, ProbeDir probe);

}  // namespace detail

}  // namespace bramwex::core::sys
