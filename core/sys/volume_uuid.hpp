// The UUID of the file system holding a path, the volume half of a CacheKey.
// Linux exposes it through the FS_IOC_GETFSUUID ioctl (kernels from 6.5, for
// file systems that keep one); older kernels fall back to the udev links in
// /dev/disk/by-uuid that name the path's block device. None found is all zeros.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/error.hpp"

namespace bramwex::core::sys {

using VolumeUuid = std::array<uint8_t, 16>;

// The stat failure of the path is returned; every other lack of a UUID is zeros.
Result<VolumeUuid> volume_uuid(const std::string& path);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (either case) into its 16 bytes in
// text order; nothing for any other text.
std::optional<VolumeUuid> parse_uuid_text(std::string_view text);

}  // namespace bramwex::core::sys
