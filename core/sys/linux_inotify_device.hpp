// Whether inotify can see the changes on a device: it reports changes made
// through this machine's kernel only, so network and user-space file systems
// (changed elsewhere) and pseudo file systems (never "changed") answer no,
// and live following polls them instead. Devices missing from the mount
// table (btrfs subvolumes) are taken as local.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace bramwex::core::sys::inotify {

bool device_reports_changes(dev_t device);

namespace detail {

// The file-system type of the mount of device in a mountinfo text.
std::optional<std::string> fs_type_of_device(std::string_view mountinfo, dev_t device);

bool fs_type_reports_changes(std::string_view fs_type);

}  // namespace detail

}  // namespace bramwex::core::sys::inotify
